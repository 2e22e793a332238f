#include "ConnectionStore.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>

#include "StoreFile.hpp"
#include "Thumbnail.hpp"

namespace tessaral {

namespace {

const QString thumbnailsFolderName = QStringLiteral("Thumbnails");

}  // namespace

QString ConnectionStore::defaultDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Tessaral");
}

ConnectionStore::ConnectionStore(KeychainService& keychain, const QString& directory,
                                 QObject* parent)
    : QObject(parent),
      keychain_(keychain),
      directory_(QDir::cleanPath(directory.isEmpty() ? defaultDirectory() : directory)),
      libraryFile_(directory_, QStringLiteral("Library.json"), QStringLiteral("library"),
                   maximumLibrarySize) {
    thumbnailPool_.setMaxThreadCount(1);
    thumbnailPool_.setThreadPriority(QThread::LowPriority);
    makePrivatePath(directory_ + u'/' + thumbnailsFolderName);
    load();
}

ConnectionStore::~ConnectionStore() {
    thumbnailPool_.waitForDone();
}

void ConnectionStore::load() {
    const std::optional<QByteArray> bytes = libraryFile_.read();
    if (!bytes) {
        return;
    }
    try {
        Library library = decodeLibrary(*bytes);
        connections_ = std::move(library.connections);
        groups_ = std::move(library.groups);
    } catch (const LibraryError& failure) {
        libraryFile_.setUnreadable(failure.description());
    }
}

void ConnectionStore::save() {
    libraryFile_.write(encodeLibrary(Library{connections_, groups_}));
}

void ConnectionStore::insertActiveSession(const QUuid& id) {
    if (!activeSessions_.contains(id)) {
        activeSessions_.insert(id);
        emit activeSessionsChanged();
    }
}

void ConnectionStore::removeActiveSession(const QUuid& id) {
    if (activeSessions_.remove(id)) {
        emit activeSessionsChanged();
    }
}

qsizetype ConnectionStore::savedIndex(const QUuid& id) const {
    const auto it = std::find_if(connections_.cbegin(), connections_.cend(),
                                 [&](const Connection& c) { return c.id == id; });
    return it == connections_.cend() ? -1 : it - connections_.cbegin();
}

std::optional<Connection> ConnectionStore::connection(const QUuid& id) const {
    if (const qsizetype index = savedIndex(id); index >= 0) {
        return connections_[index];
    }
    if (const auto it = transient_.constFind(id); it != transient_.constEnd()) {
        return it.value();
    }
    return std::nullopt;
}

bool ConnectionStore::isSaved(const QUuid& id) const {
    return savedIndex(id) >= 0;
}

void ConnectionStore::upsert(const Connection& connection) {
    bool connectionsDiffer = true;
    bool transientDiffer = false;
    if (const qsizetype index = savedIndex(connection.id); index >= 0) {
        connectionsDiffer = connections_[index] != connection;
        connections_[index] = connection;
    } else {
        transientDiffer = transient_.remove(connection.id) > 0;
        connections_.push_back(connection);
    }
    save();
    if (transientDiffer) {
        emit transientChanged();
    }
    if (connectionsDiffer) {
        emit connectionsChanged();
    }
}

Connection ConnectionStore::connectionFor(const rfb::VNCAddress& address) {
    const QString host = QString::fromStdString(address.host);
    const std::optional<QString> username =
        address.username ? std::optional(QString::fromStdString(*address.username)) : std::nullopt;
    for (const Connection& candidate : connections_) {
        if (candidate.port == address.port &&
            candidate.host.compare(host, Qt::CaseInsensitive) == 0 &&
            (!username || candidate.username == *username)) {
            return candidate;
        }
    }
    Connection created = Connection::fromAddress(address, ConnectionOrigin::link);
    upsert(created);
    return created;
}

void ConnectionStore::registerTransient(const Connection& connection) {
    const auto it = transient_.constFind(connection.id);
    if (it != transient_.constEnd() && it.value() == connection) {
        return;
    }
    transient_.insert(connection.id, connection);
    emit transientChanged();
}

void ConnectionStore::markConnected(const QUuid& id) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (const qsizetype index = savedIndex(id); index >= 0) {
        connections_[index].lastConnectedAt = now;
        save();
        emit connectionsChanged();
    } else if (const auto it = transient_.find(id); it != transient_.end()) {
        it->lastConnectedAt = now;
        emit transientChanged();
    }
}

QList<Connection> ConnectionStore::recents() const {
    QList<Connection> result;
    for (const Connection& connection : connections_) {
        if (connection.lastConnectedAt) {
            result.push_back(connection);
        }
    }
    std::stable_sort(result.begin(), result.end(), [](const Connection& a, const Connection& b) {
        return *a.lastConnectedAt > *b.lastConnectedAt;
    });
    if (result.size() > maximumRecents) {
        result.resize(maximumRecents);
    }
    return result;
}

Connection ConnectionStore::duplicate(const Connection& connection) {
    const Connection copy = connection.duplicate();
    upsert(copy);
    keychain_.copy(connection.id, copy.id);
    return copy;
}

void ConnectionStore::deleteConnections(const QSet<QUuid>& ids) {
    const qsizetype removed =
        connections_.removeIf([&](const Connection& c) { return ids.contains(c.id); });
    // Also for ids that name no saved computer: a password or preview may be left over from a
    // computer removed earlier, or belong to one that was never saved.
    for (const QUuid& id : ids) {
        keychain_.remove(id);
        QFile::remove(thumbnailPath(id));
    }
    save();
    if (removed > 0) {
        emit connectionsChanged();
    }
}

void ConnectionStore::clearLinks() {
    QSet<QUuid> links;
    for (const Connection& connection : connections_) {
        if (connection.origin == ConnectionOrigin::link) {
            links.insert(connection.id);
        }
    }
    deleteConnections(links);
}

ConnectionGroup ConnectionStore::addGroup(const QString& name) {
    ConnectionGroup group{QUuid::createUuid(), name};
    groups_.push_back(group);
    save();
    emit groupsChanged();
    return group;
}

void ConnectionStore::renameGroup(const QUuid& id, const QString& name) {
    const auto it = std::find_if(groups_.begin(), groups_.end(),
                                 [&](const ConnectionGroup& g) { return g.id == id; });
    if (it == groups_.end()) {
        return;
    }
    const bool differs = it->name != name;
    it->name = name;
    save();
    if (differs) {
        emit groupsChanged();
    }
}

void ConnectionStore::deleteGroup(const QUuid& id) {
    const qsizetype removedGroups =
        groups_.removeIf([&](const ConnectionGroup& g) { return g.id == id; });
    bool ungrouped = false;
    for (Connection& connection : connections_) {
        if (connection.groupID == id) {
            connection.groupID.reset();
            ungrouped = true;
        }
    }
    save();
    if (removedGroups > 0) {
        emit groupsChanged();
    }
    if (ungrouped) {
        emit connectionsChanged();
    }
}

void ConnectionStore::move(const QSet<QUuid>& ids, std::optional<QUuid> groupID) {
    bool moved = false;
    for (Connection& connection : connections_) {
        if (ids.contains(connection.id) && connection.groupID != groupID) {
            connection.groupID = groupID;
            moved = true;
        }
    }
    save();
    if (moved) {
        emit connectionsChanged();
    }
}

QString ConnectionStore::thumbnailPath(const QUuid& id) const {
    return directory_ + u'/' + thumbnailsFolderName + u'/' + uuidString(id) +
           QStringLiteral(".png");
}

void ConnectionStore::saveThumbnail(const QImage& image, const QUuid& id) {
    if (!isSaved(id)) {
        return;
    }
    const QString path = thumbnailPath(id);
    const QString folder = directory_ + u'/' + thumbnailsFolderName;
    QPointer<ConnectionStore> store(this);
    thumbnailPool_.start([image, path, folder, id, store] {
        const std::optional<QByteArray> png = thumbnailPng(image);
        if (!png) {
            return;
        }
        // The folder may have been removed while the application ran.
        makePrivatePath(folder);
        writeAtomically(path, *png, nullptr);
        // The store is only looked at on its own thread, where it may be gone by now.
        QCoreApplication* application = QCoreApplication::instance();
        if (application == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            application,
            [store, id] {
                if (store) {
                    store->thumbnailWritten(id);
                }
            },
            Qt::QueuedConnection);
    });
}

void ConnectionStore::thumbnailWritten(const QUuid& id) {
    // A computer deleted while its preview was being written must not keep the file.
    if (!isSaved(id)) {
        QFile::remove(thumbnailPath(id));
    }
    ++thumbnailRevision_;
    emit thumbnailRevisionChanged(thumbnailRevision_);
}

bool ConnectionStore::waitForThumbnails(int msecs) {
    return thumbnailPool_.waitForDone(msecs);
}

QByteArray ConnectionStore::exportData(const std::optional<QSet<QUuid>>& ids) const {
    Library library;
    QSet<QUuid> usedGroups;
    for (const Connection& connection : connections_) {
        if (!ids || ids->contains(connection.id)) {
            library.connections.push_back(connection);
            if (connection.groupID) {
                usedGroups.insert(*connection.groupID);
            }
        }
    }
    for (const ConnectionGroup& group : groups_) {
        if (usedGroups.contains(group.id)) {
            library.groups.push_back(group);
        }
    }
    return encodeLibrary(library);
}

int ConnectionStore::importData(const QByteArray& data) {
    const Library imported = decodeLibrary(data);

    bool groupsAdded = false;
    QHash<QUuid, QUuid> groupMap;
    for (const ConnectionGroup& group : imported.groups) {
        const auto existing =
            std::find_if(groups_.cbegin(), groups_.cend(),
                         [&](const ConnectionGroup& g) { return g.name == group.name; });
        if (existing != groups_.cend()) {
            groupMap.insert(group.id, existing->id);
        } else {
            const ConnectionGroup added{QUuid::createUuid(), group.name};
            groups_.push_back(added);
            groupMap.insert(group.id, added.id);
            groupsAdded = true;
        }
    }

    for (Connection connection : imported.connections) {
        connection.id = QUuid::createUuid();
        if (connection.groupID) {
            const auto mapped = groupMap.constFind(*connection.groupID);
            connection.groupID =
                mapped != groupMap.constEnd() ? std::optional(mapped.value()) : std::nullopt;
        }
        connection.lastConnectedAt.reset();
        connection.origin = ConnectionOrigin::saved;
        connections_.push_back(std::move(connection));
    }

    save();
    if (groupsAdded) {
        emit groupsChanged();
    }
    if (!imported.connections.isEmpty()) {
        emit connectionsChanged();
    }
    return static_cast<int>(imported.connections.size());
}

}  // namespace tessaral
