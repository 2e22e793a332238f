#pragma once

#include <QHash>
#include <QList>

#include "Model/Keychain.hpp"

namespace tessaral::testing {

// An in-memory keychain that also records which ids were asked to be deleted.
class FakeKeychain final : public Keychain {
  public:
    std::optional<QString> password(const QUuid& id) const override {
        return passwords.contains(id) ? std::optional(passwords.value(id)) : std::nullopt;
    }
    bool setPassword(const QUuid& id, const std::optional<QString>& password) override {
        if (password && !password->isEmpty()) {
            passwords.insert(id, *password);
        } else {
            deleted.push_back(id);
            passwords.remove(id);
        }
        return true;
    }

    QHash<QUuid, QString> passwords;
    QList<QUuid> deleted;
};

}  // namespace tessaral::testing
