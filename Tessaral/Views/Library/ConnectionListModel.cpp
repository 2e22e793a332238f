#include "ConnectionListModel.hpp"

#include <QDateTime>
#include <QMimeData>

#include "LibraryScope.hpp"
#include "Model/ConnectionStore.hpp"

namespace tessaral {

ConnectionListModel::ConnectionListModel(ConnectionStore& store, QObject* parent)
    : QAbstractTableModel(parent), store_(store) {
    connect(&store_, &ConnectionStore::groupsChanged, this,
            [this] { rowsChanged(groupColumn, groupColumn); });
    connect(&store_, &ConnectionStore::activeSessionsChanged, this,
            [this] { rowsChanged(nameColumn, nameColumn, {connectedRole}); });
    connect(&store_, &ConnectionStore::thumbnailRevisionChanged, this, [this] {
        thumbnails_.clear();
        rowsChanged(nameColumn, nameColumn, {thumbnailRole});
    });
}

void ConnectionListModel::setConnections(const QList<Connection>& connections) {
    QSet<QUuid> wanted;
    for (const Connection& connection : connections) {
        wanted.insert(connection.id);
    }
    // Removals first, in runs, from the end so that earlier rows keep their numbers.
    for (int row = static_cast<int>(rows_.size()) - 1; row >= 0;) {
        if (wanted.contains(rows_[row].id)) {
            --row;
            continue;
        }
        int first = row;
        while (first > 0 && !wanted.contains(rows_[first - 1].id)) {
            --first;
        }
        beginRemoveRows({}, first, row);
        rows_.remove(first, row - first + 1);
        endRemoveRows();
        row = first - 1;
    }
    // Then every position in turn: the row already there, one moved up from further down, or a
    // new one.
    for (int target = 0; target < connections.size(); ++target) {
        const Connection& connection = connections[target];
        if (target < rows_.size() && rows_[target].id == connection.id) {
            if (rows_[target] != connection) {
                rows_[target] = connection;
                emit dataChanged(index(target, 0), index(target, columnCount() - 1));
            }
            continue;
        }
        int found = -1;
        for (int row = target + 1; row < rows_.size(); ++row) {
            if (rows_[row].id == connection.id) {
                found = row;
                break;
            }
        }
        if (found < 0) {
            beginInsertRows({}, target, target);
            rows_.insert(target, connection);
            endInsertRows();
            continue;
        }
        beginMoveRows({}, found, found, {}, target);
        rows_.move(found, target);
        endMoveRows();
        if (rows_[target] != connection) {
            rows_[target] = connection;
            emit dataChanged(index(target, 0), index(target, columnCount() - 1));
        }
    }
}

QModelIndex ConnectionListModel::indexOf(const QUuid& id, int column) const {
    for (int row = 0; row < rows_.size(); ++row) {
        if (rows_[row].id == id) {
            return index(row, column);
        }
    }
    return {};
}

QUuid ConnectionListModel::id(const QModelIndex& index) const {
    return index.isValid() && index.row() < rows_.size() ? rows_[index.row()].id : QUuid();
}

int ConnectionListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ConnectionListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : lastConnectedColumn + 1;
}

QVariant ConnectionListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid)) {
        return {};
    }
    const Connection& connection = rows_[index.row()];
    switch (role) {
        case idRole:
            return connection.id;
        case subtitleRole: {
            const QString address = connection.addressDescription();
            return connection.username.isEmpty()
                       ? address
                       : connection.username + QStringLiteral(" · ") + address;
        }
        case thumbnailRole:
            return thumbnail(connection.id);
        case connectedRole:
            return store_.activeSessions().contains(connection.id);
        case tintRole:
            return QColor(tintColor(connection.tint));
        case symbolRole:
            return connection.symbol;
        case Qt::ToolTipRole:
            return index.column() == nameColumn ? tr("Double-click to connect") : QVariant();
        default:
            break;
    }
    if (role != Qt::DisplayRole && role != sortRole) {
        return {};
    }
    switch (index.column()) {
        case nameColumn:
            return connection.name;
        case addressColumn:
            return connection.addressDescription();
        case userColumn:
            return connection.username;
        case groupColumn:
            for (const ConnectionGroup& group : store_.groups()) {
                if (group.id == connection.groupID) {
                    return group.name;
                }
            }
            return QString();
        case lastConnectedColumn:
            if (role == sortRole) {
                return connection.lastConnectedAt.value_or(QDateTime());
            }
            return LibraryScope::relativeDate(connection.lastConnectedAt,
                                              QDateTime::currentDateTimeUtc());
        default:
            return {};
    }
}

QVariant ConnectionListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
        case nameColumn:
            return tr("Name");
        case addressColumn:
            return tr("Address");
        case userColumn:
            return tr("User");
        case groupColumn:
            return tr("Group");
        case lastConnectedColumn:
            return tr("Last Connected");
        default:
            return {};
    }
}

Qt::ItemFlags ConnectionListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled |
           Qt::ItemNeverHasChildren;
}

QStringList ConnectionListModel::mimeTypes() const {
    return {QStringLiteral("text/plain")};
}

QMimeData* ConnectionListModel::mimeData(const QModelIndexList& indexes) const {
    QStringList ids;
    for (const QModelIndex& index : indexes) {
        const QString text = id(index).toString(QUuid::WithoutBraces).toUpper();
        if (!ids.contains(text)) {
            ids.append(text);
        }
    }
    auto* data = new QMimeData;
    data->setText(ids.join(u'\n'));
    return data;
}

void ConnectionListModel::rowsChanged(int firstColumn, int lastColumn, const QList<int>& roles) {
    if (!rows_.isEmpty()) {
        emit dataChanged(index(0, firstColumn), index(rowCount() - 1, lastColumn), roles);
    }
}

QImage ConnectionListModel::thumbnail(const QUuid& id) const {
    auto it = thumbnails_.find(id);
    if (it == thumbnails_.end()) {
        it = thumbnails_.insert(id, QImage(store_.thumbnailPath(id)));
    }
    return *it;
}

}  // namespace tessaral
