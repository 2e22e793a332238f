#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThreadPool>
#include <QUuid>
#include <optional>

#include "Connection.hpp"
#include "KeychainService.hpp"
#include "LibraryFile.hpp"
#include "StoreFile.hpp"
#include "VNCAddress.hpp"

namespace tessaral {

// The single owner of the user's library: saved computers and groups (kept in "Library.json"),
// computers known only for this run, the computers with an open session, and the preview
// thumbnails. Every change to saved computers or groups rewrites the file at once, atomically.
// Lives on the main thread; every member is called there. Signals fire only when the value they
// name really changed.
class ConnectionStore : public QObject {
    Q_OBJECT

  public:
    static constexpr int maximumRecents = 12;

    // "Tessaral" in the user's data folder.
    static QString defaultDirectory();

    // Uses `directory` (the default folder when empty), creating it and its "Thumbnails" folder
    // (mode 0700) when missing, then loads the library. An unreadable library file is logged and
    // moved aside, and the library starts empty. `keychain` must outlive the store.
    explicit ConnectionStore(KeychainService& keychain, const QString& directory = {},
                             QObject* parent = nullptr);
    // Waits for thumbnails still being written.
    ~ConnectionStore() override;

    const QList<Connection>& connections() const { return connections_; }
    const QList<ConnectionGroup>& groups() const { return groups_; }
    const QHash<QUuid, Connection>& transient() const { return transient_; }
    // Kept by the sessions, never changed by the store itself.
    const QSet<QUuid>& activeSessions() const { return activeSessions_; }
    void insertActiveSession(const QUuid& id);
    void removeActiveSession(const QUuid& id);
    // Grows by one after every thumbnail written.
    int thumbnailRevision() const { return thumbnailRevision_; }
    const QString& directory() const { return directory_; }
    const QString& libraryFilePath() const { return libraryFile_.path(); }

    // A saved computer, else a transient one, else none.
    std::optional<Connection> connection(const QUuid& id) const;
    bool isSaved(const QUuid& id) const;
    // Replaces the saved computer with that id in place, or appends it (taking it out of the
    // transient ones). Stored exactly as given.
    void upsert(const Connection& connection);
    // The first saved computer with the address's host (ignoring case) and port, and, when the
    // address names a user, that user name; otherwise a new saved computer of origin link.
    Connection connectionFor(const rfb::VNCAddress& address);
    // Known for this run only; never written.
    void registerTransient(const Connection& connection);
    // Records the connected time (saved: written; transient: memory only).
    void markConnected(const QUuid& id);
    // The saved computers that have connected, newest first, at most twelve.
    QList<Connection> recents() const;
    // Saves a copy of the computer under a new id, with a copy of its password, and returns it.
    Connection duplicate(const Connection& connection);
    // Removes those saved computers and, for every id given (known or not), the keychain password
    // and the thumbnail.
    void deleteConnections(const QSet<QUuid>& ids);
    // Deletes every computer of origin link.
    void clearLinks();

    ConnectionGroup addGroup(const QString& name);
    void renameGroup(const QUuid& id, const QString& name);
    // The group's computers stay in the library, ungrouped.
    void deleteGroup(const QUuid& id);
    // Files the saved computers among `ids` under `groupID` (none: ungrouped).
    void move(const QSet<QUuid>& ids, std::optional<QUuid> groupID);

    QString thumbnailPath(const QUuid& id) const;
    // Encodes and writes the preview in the background; nothing for a computer that is not saved.
    void saveThumbnail(const QImage& image, const QUuid& id);
    // Until every thumbnail started so far is written (or `msecs` passed; -1 waits for ever).
    // Revision updates are delivered through the event loop afterwards.
    bool waitForThumbnails(int msecs = -1);

    // The library file form of those saved computers (all when none) and of the groups they use.
    QByteArray exportData(const std::optional<QSet<QUuid>>& ids = std::nullopt) const;
    // Appends the file's computers with new ids, reusing groups of the same name; returns how many
    // computers the file held. Throws LibraryError, changing nothing, for unreadable data.
    int importData(const QByteArray& data);

    // Writes the library file; a failure is logged and memory keeps its state.
    void save();

  signals:
    void connectionsChanged();
    void groupsChanged();
    void transientChanged();
    void activeSessionsChanged();
    void thumbnailRevisionChanged(int revision);

  private:
    void load();
    void thumbnailWritten(const QUuid& id);
    qsizetype savedIndex(const QUuid& id) const;

    KeychainService& keychain_;
    QString directory_;
    StoreFile libraryFile_;
    QList<Connection> connections_;
    QList<ConnectionGroup> groups_;
    QHash<QUuid, Connection> transient_;
    QSet<QUuid> activeSessions_;
    int thumbnailRevision_ = 0;
    // One thread, so that thumbnails are written in the order they were asked for.
    QThreadPool thumbnailPool_;
};

}  // namespace tessaral
