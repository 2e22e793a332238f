#include "SingleInstance.hpp"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDataStream>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QThread>

namespace tessaral {

namespace {

Q_LOGGING_CATEGORY(instanceLog, "org.tessaral.Tessaral.instance", QtInfoMsg)

// Long enough for an owner that is busy starting up (loading the library) to answer.
constexpr int answerTimeoutMs = 10000;
constexpr int attempts = 5;
constexpr QDataStream::Version streamVersion = QDataStream::Qt_6_0;
constexpr char acknowledgement = '\x06';

}  // namespace

SingleInstance::SingleInstance(const QString& socketDirectory, QObject* parent)
    : QObject(parent), socketDirectory_(socketDirectory) {
    if (socketDirectory_.isEmpty()) {
        socketDirectory_ = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::socketPath() const {
    return QDir(socketDirectory_).filePath(QStringLiteral("org.tessaral.Tessaral.socket"));
}

SingleInstance::Outcome SingleInstance::claim(const QStringList& arguments) {
    const bool onBus = QDBusConnection::sessionBus().isConnected();
    qCDebug(instanceLog) << "claiming over" << (onBus ? "the session bus" : socketPath());
    for (int attempt = 0; attempt < attempts; ++attempt) {
        // Between "somebody owns it" and reaching the owner, the owner may have quit: then this
        // launch may own it after all, so it asks again.
        switch (onBus ? claimOnBus(arguments) : claimLocally(arguments)) {
            case Attempt::Owner:
                qCDebug(instanceLog) << "owner";
                return Outcome::Owner;
            case Attempt::HandedOver:
                qCDebug(instanceLog) << "handed over" << arguments;
                return Outcome::HandedOver;
            case Attempt::Failed:
                return Outcome::Failed;
            case Attempt::TryAgain:
                QThread::msleep(static_cast<unsigned long>(50 * (attempt + 1)));
                break;
        }
    }
    if (message_.isEmpty()) {
        message_ = QStringLiteral("Tessaral is already running but did not answer.");
    }
    return Outcome::Failed;
}

void SingleInstance::Open(const QStringList& arguments) {
    // Answered first and handled later: opening a link may show a modal alert, and the caller
    // should not wait for somebody to dismiss it.
    QMetaObject::invokeMethod(
        this, [this, arguments] { emit argumentsReceived(arguments); }, Qt::QueuedConnection);
}

SingleInstance::Attempt SingleInstance::claimOnBus(const QStringList& arguments) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString service = QString::fromLatin1(serviceName);
    const QString path = QString::fromLatin1(objectPath);
    // The object comes before the name, so that the first call after taking the name finds it.
    if (bus.objectRegisteredAt(path) != this &&
        !bus.registerObject(path, this, QDBusConnection::ExportScriptableSlots)) {
        message_ = QStringLiteral("Cannot export the instance object on the session bus.");
        return Attempt::Failed;
    }
    if (bus.registerService(service)) {
        return Attempt::Owner;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Open"));
    call << arguments;
    const QDBusMessage reply = bus.call(call, QDBus::Block, answerTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
        return Attempt::HandedOver;
    }
    message_ = QStringLiteral("Tessaral is already running but did not answer: %1")
                   .arg(reply.errorMessage());
    qCDebug(instanceLog) << "no answer on the bus:" << reply.errorName();
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")) {
        return Attempt::Failed;  // alive but stuck: asking again would only wait again
    }
    return Attempt::TryAgain;
}

SingleInstance::Attempt SingleInstance::claimLocally(const QStringList& arguments) {
    if (!QDir().mkpath(socketDirectory_)) {
        message_ = QStringLiteral("Cannot create %1.").arg(socketDirectory_);
        return Attempt::Failed;
    }
    QLocalSocket socket;
    {
        // Held only across "does anybody listen, else listen": the second of two launches at
        // once then finds the first listening instead of replacing its socket.
        QLockFile lock(
            QDir(socketDirectory_).filePath(QStringLiteral("org.tessaral.Tessaral.lock")));
        if (!lock.tryLock(answerTimeoutMs)) {
            message_ = QStringLiteral("Cannot lock %1.").arg(lock.fileName());
            return lock.error() == QLockFile::LockFailedError ? Attempt::TryAgain : Attempt::Failed;
        }
        socket.connectToServer(socketPath());
        if (!socket.waitForConnected(answerTimeoutMs)) {
            // Tests widen the window between "nobody listens" and "listen" that the lock closes.
            if (const int delay = qEnvironmentVariableIntValue("TESSARAL_TEST_CLAIM_DELAY_MS")) {
                QThread::msleep(static_cast<unsigned long>(delay));
            }
            // Nobody listens, so a socket file left there belongs to an owner that died.
            QLocalServer::removeServer(socketPath());
            auto server = std::make_unique<QLocalServer>();
            server->setSocketOptions(QLocalServer::UserAccessOption);
            if (!server->listen(socketPath())) {
                message_ = QStringLiteral("Cannot listen on %1: %2")
                               .arg(socketPath(), server->errorString());
                return Attempt::Failed;
            }
            connect(server.get(), &QLocalServer::newConnection, this,
                    &SingleInstance::receiveLocally);
            server_ = std::move(server);
            return Attempt::Owner;
        }
    }
    QByteArray block;
    QDataStream out(&block, QIODevice::WriteOnly);
    out.setVersion(streamVersion);
    out << arguments;
    socket.write(block);
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(answerTimeoutMs)) {
            message_ = QStringLiteral("Tessaral is already running but did not answer: %1")
                           .arg(socket.errorString());
            return socket.state() == QLocalSocket::UnconnectedState ? Attempt::TryAgain
                                                                    : Attempt::Failed;
        }
    }
    char answer = 0;
    socket.getChar(&answer);
    return answer == acknowledgement ? Attempt::HandedOver : Attempt::Failed;
}

void SingleInstance::receiveLocally() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            QDataStream in(socket);
            in.setVersion(streamVersion);
            in.startTransaction();
            QStringList arguments;
            in >> arguments;
            if (!in.commitTransaction()) {
                if (in.status() == QDataStream::ReadCorruptData) {
                    socket->abort();
                }
                return;  // the rest is still on its way
            }
            socket->putChar(acknowledgement);
            socket->flush();
            Open(arguments);
        });
    }
}

}  // namespace tessaral
