#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QUuid>

#include "Model/Keychain.hpp"

namespace tessaral::testing {

// An in-memory keychain that also records which ids were asked to be deleted.
class FakeKeychain final : public Keychain {
  public:
    std::optional<QString> password(const QUuid& id) const override {
        const auto it = passwords.constFind(id);
        if (it == passwords.constEnd()) {
            return std::nullopt;
        }
        return it.value();
    }

    bool setPassword(const QUuid& id, const std::optional<QString>& password) override {
        if (!password || password->isEmpty()) {
            deleted.push_back(id);
            passwords.remove(id);
        } else {
            passwords.insert(id, *password);
        }
        return true;
    }

    QHash<QUuid, QString> passwords;
    QList<QUuid> deleted;
};

}  // namespace tessaral::testing
