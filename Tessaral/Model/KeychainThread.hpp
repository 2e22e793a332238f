#pragma once

class QThreadPool;

namespace tessaral {

// The one thread every keychain call of the windows and sessions runs on. A locked keyring that
// waits for the user holds up keychain work only, never a window; and because the calls run one
// after another in the order they were started, a password saved by the editor is what a session
// started afterwards reads. Never destroyed, so that quitting does not wait for an unlock prompt
// nobody answers.
QThreadPool& keychainThread();

}  // namespace tessaral
