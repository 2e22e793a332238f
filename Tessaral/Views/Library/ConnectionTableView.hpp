#pragma once

#include <QSet>
#include <QTableView>
#include <QUuid>

#include "ConnectionContextMenu.hpp"

class QSortFilterProxyModel;

namespace tessaral {

class ConnectionListModel;
class ConnectionStore;

// The computers as a table: name (with icon and "Connected"), address, user, group and when the
// computer last connected. Sorted by name, either way; a double click or Return connects every
// selected computer.
class ConnectionTableView : public QTableView {
    Q_OBJECT

  public:
    // `store` and `model` must outlive the view.
    ConnectionTableView(const ConnectionStore& store, ConnectionListModel& model,
                        ConnectionActions actions, QWidget* parent = nullptr);

    QSet<QUuid> selectedIDs() const;
    void setSelectedIDs(const QSet<QUuid>& ids);
    // The ids in the order the rows are shown.
    QList<QUuid> shownIDs() const;

  signals:
    void selectedIDsChanged(const QSet<QUuid>& ids);

  protected:
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void connectSelected();
    void showContextMenu(const QPoint& position);

    const ConnectionStore& store_;
    ConnectionListModel& model_;
    QSortFilterProxyModel* sorted_;
    ConnectionActions actions_;
};

}  // namespace tessaral
