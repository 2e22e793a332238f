#pragma once

#include <QMenu>
#include <QSet>
#include <QUuid>
#include <functional>
#include <optional>

#include "Model/Connection.hpp"

namespace tessaral {

class ConnectionStore;

// What the grid, the table and their context menu ask the library window to do.
struct ConnectionActions {
    std::function<void(const Connection&)> connect;
    std::function<void(const Connection&)> edit;
    std::function<void(const Connection&)> duplicate;
    std::function<void(const QSet<QUuid>&)> remove;
    std::function<void(const QSet<QUuid>&, std::optional<QUuid>)> move;
};

// The menu of one or more computers: `ids` are its targets, `clicked` the computer under the
// pointer.
class ConnectionContextMenu : public QMenu {
    Q_OBJECT

  public:
    ConnectionContextMenu(const ConnectionStore& store, const QSet<QUuid>& ids,
                          const Connection& clicked, const ConnectionActions& actions,
                          QWidget* parent = nullptr);

    // The targets of a menu opened on `clicked`: the selection when it holds the clicked
    // computer, else that computer alone.
    static QSet<QUuid> targets(const QSet<QUuid>& selection, const QUuid& clicked);

    // Opens, at `globalPosition`, the menu a right click on `clicked` in `view` shows; it deletes
    // itself once closed.
    static void popup(const ConnectionStore& store, const QSet<QUuid>& selection,
                      const Connection& clicked, const ConnectionActions& actions, QWidget* view,
                      const QPoint& globalPosition);
};

}  // namespace tessaral
