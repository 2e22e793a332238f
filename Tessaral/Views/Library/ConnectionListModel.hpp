#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QImage>
#include <QList>
#include <QSet>
#include <QUuid>

#include "Model/Connection.hpp"

namespace tessaral {

class ConnectionStore;

// The computers the library window shows, as rows: one column per table column, the grid uses
// the first. setConnections() turns a new list into row moves, insertions, removals and changes,
// never a reset, so that views keep their selection and scroll position while the library
// changes.
class ConnectionListModel : public QAbstractTableModel {
    Q_OBJECT

  public:
    enum Column { nameColumn, addressColumn, userColumn, groupColumn, lastConnectedColumn };
    enum Role {
        idRole = Qt::UserRole + 1,
        // "user · address", the card's second line.
        subtitleRole,
        // The saved preview, a null image when there is none.
        thumbnailRole,
        // Whether a session window is open for the computer.
        connectedRole,
        tintRole,
        symbolRole,
        // What the column sorts by.
        sortRole,
    };

    // `store` must outlive the model.
    explicit ConnectionListModel(ConnectionStore& store, QObject* parent = nullptr);

    void setConnections(const QList<Connection>& connections);
    const QList<Connection>& connections() const { return rows_; }
    QModelIndex indexOf(const QUuid& id, int column = 0) const;
    QUuid id(const QModelIndex& index) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }

  private:
    void rowsChanged(int firstColumn, int lastColumn, const QList<int>& roles = {});
    QImage thumbnail(const QUuid& id) const;

    ConnectionStore& store_;
    QList<Connection> rows_;
    // Previews read since the last thumbnail revision.
    mutable QHash<QUuid, QImage> thumbnails_;
};

}  // namespace tessaral
