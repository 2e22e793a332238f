#include "KeychainService.hpp"

#include <QFutureWatcher>
#include <QPromise>
#include <QThreadPool>

#include "Keychain.hpp"

namespace tessaral {

KeychainService::KeychainService(std::shared_ptr<Keychain> keychain)
    : keychain_(std::move(keychain)), thread_(new QThreadPool) {
    thread_->setMaxThreadCount(1);
    thread_->setObjectName(QStringLiteral("keychain"));
}

KeychainService::~KeychainService() {
    if (thread_->waitForDone(5000)) {
        delete thread_;
    }
}

void KeychainService::run(std::function<void(Keychain&)> work) {
    // The work keeps the keychain alive, also past the service when it was left behind.
    thread_->start([keychain = keychain_, work = std::move(work)] { work(*keychain); });
}

void KeychainService::lookUp(const QUuid& id, QObject* receiver,
                             std::function<void(std::optional<QString>)> answer) {
    using Watcher = QFutureWatcher<std::optional<QString>>;
    auto promise = std::make_shared<QPromise<std::optional<QString>>>();
    // Owned by the receiver, so that an answer for a receiver that has gone is never delivered.
    auto* watcher = new Watcher(receiver);
    QObject::connect(watcher, &Watcher::finished, receiver, [watcher, answer = std::move(answer)] {
        const QFuture<std::optional<QString>> future = watcher->future();
        watcher->deleteLater();
        answer(future.resultCount() > 0 ? future.result() : std::nullopt);
    });
    watcher->setFuture(promise->future());
    run([promise, id](Keychain& keychain) {
        promise->start();
        promise->addResult(keychain.password(id));
        promise->finish();
    });
}

void KeychainService::store(const QUuid& id, const QString& password) {
    run([id, password](Keychain& keychain) { keychain.setPassword(id, password); });
}

void KeychainService::copy(const QUuid& from, const QUuid& to) {
    run([from, to](Keychain& keychain) {
        if (const std::optional<QString> password = keychain.password(from)) {
            keychain.setPassword(to, password);
        }
    });
}

void KeychainService::remove(const QUuid& id) {
    run([id](Keychain& keychain) { keychain.deletePassword(id); });
}

bool KeychainService::waitForDone(int msecs) {
    return thread_->waitForDone(msecs);
}

}  // namespace tessaral
