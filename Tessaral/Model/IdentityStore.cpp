#include "IdentityStore.hpp"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "JsonWriter.hpp"
#include "LibraryFile.hpp"

namespace tessaral {

namespace {

// Certificates take a few kilobytes each; a larger file is no file of ours.
constexpr qint64 maximumFileSize = qint64{16} * 1024 * 1024;

using Kind = rfb::RFBIdentity::Kind;

QString kindText(Kind kind) {
    return kind == Kind::certificate ? QStringLiteral("certificate") : QStringLiteral("rsaKey");
}

std::optional<Kind> kindFromText(const QString& text) {
    for (Kind kind : {Kind::certificate, Kind::rsaKey}) {
        if (text == kindText(kind)) {
            return kind;
        }
    }
    return std::nullopt;
}

QByteArray encode(const QList<TrustedIdentity>& identities) {
    JsonValue::Array entries;
    for (const TrustedIdentity& entry : identities) {
        const auto& data = entry.identity.data;
        const QByteArray base64 =
            QByteArray::fromRawData(reinterpret_cast<const char*>(data.data()),
                                    static_cast<qsizetype>(data.size()))
                .toBase64();
        // The fingerprint is for people reading the file; it is worked out again when read.
        entries.push_back(JsonValue::Object{
            {"data", base64.toStdString()},
            {"fingerprint", entry.identity.fingerprint()},
            {"kind", kindText(entry.identity.kind)},
            {"server", entry.server},
            {"trustedAt", formatDateTime(entry.trustedAt)},
        });
    }
    return writeJson(JsonValue::Object{{"identities", std::move(entries)}, {"version", 1}});
}

struct Unreadable {
    QString reason;
};

// Every entry strictly: one the store cannot be sure of would trust a server wrongly or ask
// about it for no reason, so any damage makes the whole file unreadable.
TrustedIdentity decodeEntry(const QJsonValue& value, qsizetype index) {
    const QString where = QStringLiteral("identities[%1]").arg(index);
    const auto text = [&](const QString& key) {
        const QJsonValue member = value[key];
        if (!member.isString() || member.toString().isEmpty()) {
            throw Unreadable{where + u'.' + key + QStringLiteral(": expected a non-empty string")};
        }
        return member.toString();
    };
    if (!value.isObject()) {
        throw Unreadable{where + QStringLiteral(": expected an object")};
    }
    TrustedIdentity entry;
    entry.server = text(QStringLiteral("server"));
    const std::optional<Kind> kind = kindFromText(text(QStringLiteral("kind")));
    if (!kind) {
        throw Unreadable{where + QStringLiteral(".kind: not a known kind")};
    }
    entry.identity.kind = *kind;
    const auto data = QByteArray::fromBase64Encoding(text(QStringLiteral("data")).toLatin1(),
                                                     QByteArray::AbortOnBase64DecodingErrors);
    if (!data) {
        throw Unreadable{where + QStringLiteral(".data: not base64")};
    }
    entry.identity.data.assign(data.decoded.cbegin(), data.decoded.cend());
    const std::optional<QDateTime> trustedAt = parseDateTime(text(QStringLiteral("trustedAt")));
    if (!trustedAt) {
        throw Unreadable{where + QStringLiteral(".trustedAt: not a date")};
    }
    entry.trustedAt = *trustedAt;
    return entry;
}

QMap<QString, TrustedIdentity> decode(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError) {
        throw Unreadable{QStringLiteral("not valid JSON (%1 at byte %2)")
                             .arg(error.errorString())
                             .arg(error.offset)};
    }
    const QJsonValue list = document.object()[u"identities"];
    if (!list.isArray()) {
        throw Unreadable{QStringLiteral("no list of identities")};
    }
    QMap<QString, TrustedIdentity> identities;
    const QJsonArray entries = list.toArray();
    for (qsizetype i = 0; i < entries.size(); ++i) {
        TrustedIdentity entry = decodeEntry(entries[i], i);
        identities.insert(entry.server, std::move(entry));
    }
    return identities;
}

}  // namespace

QString IdentityStore::serverKey(const Connection& connection) {
    if (connection.bonjourServiceName) {
        return *connection.bonjourServiceName + QStringLiteral(" (Bonjour)");
    }
    const QString host = connection.host.toLower();
    return (host.contains(u':') ? u'[' + host + u']' : host) + u':' +
           QString::number(connection.port);
}

IdentityStore::IdentityStore(const QString& directory, QObject* parent)
    : QObject(parent),
      file_(directory, QStringLiteral("Identities.json"), QStringLiteral("trusted identities"),
            maximumFileSize) {
    if (const std::optional<QByteArray> bytes = file_.read()) {
        try {
            identities_ = decode(*bytes);
        } catch (const Unreadable& failure) {
            file_.setUnreadable(failure.reason);
        }
    }
}

std::optional<rfb::RFBIdentity> IdentityStore::identity(const QString& server) const {
    const auto it = identities_.constFind(server);
    if (it == identities_.constEnd()) {
        return std::nullopt;
    }
    return it->identity;
}

void IdentityStore::trust(const QString& server, const rfb::RFBIdentity& identity) {
    // In whole seconds, as the file keeps it.
    TrustedIdentity entry{
        server, identity,
        QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch(), Qt::UTC)};
    entry.identity.problems.clear();
    identities_.insert(server, std::move(entry));
    save();
    emit identitiesChanged();
}

void IdentityStore::forget(const QString& server) {
    if (identities_.remove(server) > 0) {
        save();
        emit identitiesChanged();
    }
}

void IdentityStore::save() {
    file_.write(encode(identities_.values()));
}

}  // namespace tessaral
