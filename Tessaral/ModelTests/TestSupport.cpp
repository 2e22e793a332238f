#include "TestSupport.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <atomic>

#include "Model/LibraryFile.hpp"
#include "Model/StoreLog.hpp"

namespace tessaral::testing {

namespace {

std::atomic<LogCapture*> activeCapture{nullptr};

bool canCreateFileIn(const QString& folder) {
    const QString probe = folder + QStringLiteral("/.write-probe");
    QFile file(probe);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.close();
    QFile::remove(probe);
    return true;
}

bool setImmutable(const QString& path, bool immutable) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool done = false;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return done;
}

}  // namespace

LogCapture::LogCapture() {
    activeCapture.store(this);
    previous_ = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture() {
    qInstallMessageHandler(previous_);
    activeCapture.store(nullptr);
}

void LogCapture::handler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (LogCapture* capture = activeCapture.load()) {
        const std::lock_guard lock(capture->mutex_);
        capture->messages_.push_back(
            {type, QString::fromUtf8(context.category ? context.category : ""), text});
    }
}

QList<LogCapture::Message> LogCapture::messages() const {
    const std::lock_guard lock(mutex_);
    return messages_;
}

QStringList LogCapture::storeErrors() const {
    QStringList result;
    for (const Message& message : messages()) {
        if (message.type == QtCriticalMsg &&
            message.category == QLatin1StringView(storeLog().categoryName())) {
            result.push_back(message.text);
        }
    }
    return result;
}

UnwritableFolder::UnwritableFolder(const QString& path) : path_(path) {
    ::chmod(QFile::encodeName(path).constData(), 0500);
    if (canCreateFileIn(path)) {
        // Root ignores permission bits; the immutable attribute stops root too.
        immutable_ = setImmutable(path, true);
    }
    active_ = !canCreateFileIn(path);
}

UnwritableFolder::~UnwritableFolder() {
    release();
}

void UnwritableFolder::release() {
    if (immutable_) {
        setImmutable(path_, false);
        immutable_ = false;
    }
    ::chmod(QFile::encodeName(path_).constData(), 0700);
    active_ = false;
}

Connection fullySetConnection() {
    Connection connection;
    connection.id = QUuid::fromString(QStringLiteral("1B4E28BA-2FA1-11D2-883F-0016D3CCA427"));
    connection.name = QStringLiteral("Studio / \"Mac\" \u00e9");
    connection.host = QStringLiteral("studio.local");
    connection.port = 5901;
    connection.username = QStringLiteral("anna");
    connection.bonjourServiceName = QStringLiteral("Studio");
    connection.groupID = QUuid::fromString(QStringLiteral("9C2B5A1E-0D3F-4E6A-8B7C-1D2E3F405162"));
    connection.tint = ConnectionTint::teal;
    connection.symbol = QStringLiteral("macstudio");
    connection.origin = ConnectionOrigin::link;
    connection.createdAt = utc(2025, 3, 1, 9, 30, 0);
    connection.lastConnectedAt = utc(2025, 3, 2, 18, 5, 7);
    connection.options.scaling = ScalingMode::actualSize;
    connection.options.quality = rfb::RFBQuality::thousands;
    connection.options.observeOnly = true;
    connection.options.shareClipboard = false;
    connection.options.sharedSession = false;
    connection.options.showRemoteCursor = false;
    connection.options.commandMapping = rfb::KeySymbol::CommandMapping::superKey;
    return connection;
}

void clearPreferences() {
    QSettings settings(QStringLiteral("Tessaral"), QStringLiteral("Tessaral"));
    settings.clear();
    settings.sync();
}

QString testExecutable() {
    return QCoreApplication::applicationFilePath();
}

}  // namespace tessaral::testing

namespace tessaral {

void PrintTo(const Connection& connection, std::ostream* out) {
    *out << encodeLibrary(Library{{connection}, {}}).toStdString();
}

void PrintTo(const Library& library, std::ostream* out) {
    *out << encodeLibrary(library).toStdString();
}

void PrintTo(const ConnectionOptions& options, std::ostream* out) {
    Connection connection;
    connection.options = options;
    const QByteArray text = encodeLibrary(Library{{connection}, {}});
    const qsizetype start = text.indexOf("\"options\"");
    *out << text.mid(start, text.indexOf('}', start) - start + 1).toStdString();
}

}  // namespace tessaral

void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
