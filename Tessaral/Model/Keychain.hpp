#pragma once

#include <QString>
#include <QUuid>
#include <optional>

namespace tessaral {

// The saved passwords of computers, at most one per computer, keyed by the computer's id. The
// library file never holds a password; the store reaches them only through this interface so that
// the secure store behind it can be swapped (and faked in tests).
class Keychain {
  public:
    virtual ~Keychain();

    // The stored password, or none when there is no item or it cannot be read (locked store,
    // access denied, bytes that are not UTF-8). Never reports an error otherwise.
    virtual std::optional<QString> password(const QUuid& id) const = 0;

    // Stores `password` for that computer, updating the existing item or adding one. No password,
    // or an empty one, deletes the item instead. Returns whether the store now holds what was
    // asked (deleting an item that does not exist counts as success).
    virtual bool setPassword(const QUuid& id, const std::optional<QString>& password) = 0;

    bool deletePassword(const QUuid& id) { return setPassword(id, std::nullopt); }
};

}  // namespace tessaral
