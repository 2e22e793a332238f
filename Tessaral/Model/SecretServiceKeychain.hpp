#pragma once

#include <QString>
#include <QUuid>
#include <optional>

#include "Keychain.hpp"

namespace tessaral {

// Passwords in the desktop's Secret Service (GNOME Keyring, KWallet and others) through
// libsecret. Each computer has one item whose attributes "service" (the fixed string below) and
// "account" (the computer's id, upper-case) are its whole search key.
//
// Every call is one synchronous round trip on the session bus, made on the calling thread; a locked
// keyring may hold it until the user answers the unlock prompt, so windows call it from a worker
// thread (libsecret's synchronous calls are safe there). Without a session bus or a Secret
// Service, reads give none and writes report false, promptly.
class SecretServiceKeychain final : public Keychain {
  public:
    static constexpr const char* service = "org.tessaral.Tessaral.connection";
    static constexpr const char* label = "Tessaral connection password";

    std::optional<QString> password(const QUuid& id) const override;
    // An existing item only has its secret replaced (it keeps its label and collection); a new
    // item goes into the default collection.
    bool setPassword(const QUuid& id, const std::optional<QString>& password) override;

    // The account attribute of a computer's item: the hyphenated UUID in upper case.
    static QString account(const QUuid& id);
};

}  // namespace tessaral
