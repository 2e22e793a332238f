#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <optional>

#include "Connection.hpp"
#include "Identity.hpp"
#include "StoreFile.hpp"

namespace tessaral {

// A server's certificate or key that the user chose to trust, and when.
struct TrustedIdentity {
    // IdentityStore::serverKey of the computer it was trusted for.
    QString server;
    // Its kind and data; the problems found with it are not kept, as they may change.
    rfb::RFBIdentity identity;
    QDateTime trustedAt;

    bool operator==(const TrustedIdentity&) const = default;
};

// The single owner of the identities the user trusted, one per server, kept in "Identities.json"
// beside the library. Only the user's decisions go in: identities the system vouches for are
// never stored. Every change rewrites the file at once, atomically; a file that cannot be read is
// moved aside (see unreadableFile()) and the store starts empty, so every server asks again.
// Lives on the main thread.
class IdentityStore : public QObject {
    Q_OBJECT

  public:
    // Where a session goes: "host:port" with the host in lower case (an IPv6 literal in brackets)
    // for a computer reached by its address, "Name (Bonjour)" for one reached through its
    // advertised service.
    static QString serverKey(const Connection& connection);

    // `directory` is the library's folder; it must exist.
    explicit IdentityStore(const QString& directory, QObject* parent = nullptr);

    const QString& filePath() const { return file_.path(); }
    // Ordered by server.
    QList<TrustedIdentity> identities() const { return identities_.values(); }
    std::optional<rfb::RFBIdentity> identity(const QString& server) const;

    // Replaces whatever was trusted for that server.
    void trust(const QString& server, const rfb::RFBIdentity& identity);
    void forget(const QString& server);

    // Why the file could not be read when the store started, for telling the user; none when it
    // was read or there was none.
    const std::optional<StoreFile::Unreadable>& unreadableFile() const {
        return file_.unreadable();
    }

  signals:
    void identitiesChanged();

  private:
    void save();

    StoreFile file_;
    QMap<QString, TrustedIdentity> identities_;
};

}  // namespace tessaral
