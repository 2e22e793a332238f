#pragma once

#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class QObject;
class QThreadPool;

namespace tessaral {

class Keychain;

// The only way the application reaches saved passwords. Every call returns at once and runs later
// on the one keychain thread, in the order the calls were made: a password copied before a delete
// is copied before it is deleted, and a password stored by the editor is what a session opened
// afterwards reads. A locked keyring that waits for the user holds up that thread only, never a
// window.
class KeychainService {
  public:
    explicit KeychainService(std::shared_ptr<Keychain> keychain);
    // Gives the calls still queued a few seconds; a keyring still waiting for an unlock nobody
    // answers is left behind with its thread rather than holding up the quit.
    ~KeychainService();
    KeychainService(const KeychainService&) = delete;
    KeychainService& operator=(const KeychainService&) = delete;

    // `answer` gets the stored password, or none, on `receiver`'s thread; never once `receiver`
    // is gone.
    void lookUp(const QUuid& id, QObject* receiver,
                std::function<void(std::optional<QString>)> answer);
    // An empty password deletes the stored one.
    void store(const QUuid& id, const QString& password);
    void copy(const QUuid& from, const QUuid& to);
    void remove(const QUuid& id);

    // Until every call made so far has run, or `msecs` passed (-1: for ever); false on time-out.
    bool waitForDone(int msecs = -1);

  private:
    void run(std::function<void(Keychain&)> work);

    std::shared_ptr<Keychain> keychain_;
    QThreadPool* thread_;
};

}  // namespace tessaral
