#pragma once

#include <QHash>
#include <QList>
#include <memory>

#include "Model/Keychain.hpp"
#include "Model/KeychainService.hpp"

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

// The keychain service over a keychain of the test's, passed wherever the service is; what the
// keychain holds is read after waitForDone(), once the service's thread has let go of it.
template <class Inner = FakeKeychain>
struct TestKeychain {
    std::shared_ptr<Inner> memory = std::make_shared<Inner>();
    KeychainService service{memory};

    operator KeychainService&() { return service; }
    Inner& waitForDone() {
        service.waitForDone();
        return *memory;
    }
};

}  // namespace tessaral::testing
