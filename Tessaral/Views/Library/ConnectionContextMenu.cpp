#include "ConnectionContextMenu.hpp"

#include <QClipboard>
#include <QGuiApplication>

#include "LibraryScope.hpp"
#include "Model/ConnectionStore.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

ConnectionContextMenu::ConnectionContextMenu(const ConnectionStore& store, const QSet<QUuid>& ids,
                                             const Connection& clicked,
                                             const ConnectionActions& actions, QWidget* parent)
    : QMenu(parent) {
    setObjectName(QStringLiteral("connectionContextMenu"));
    addAction(symbolIcon(QStringLiteral("play.display")), tr("Connect"), this,
              [&store, ids, actions] {
                  for (const QUuid& id : ids) {
                      if (const std::optional<Connection> connection = store.connection(id)) {
                          actions.connect(*connection);
                      }
                  }
              });
    addSeparator();
    if (ids.size() == 1) {
        addAction(symbolIcon(QStringLiteral("pencil")), tr("Edit…"), this,
                  [clicked, actions] { actions.edit(clicked); });
        addAction(symbolIcon(QStringLiteral("plus.square.on.square")), tr("Duplicate"), this,
                  [clicked, actions] { actions.duplicate(clicked); });
        if (const std::optional<QString> link = LibraryScope::link(clicked)) {
            addAction(symbolIcon(QStringLiteral("link")), tr("Copy Address"), this,
                      [link = *link] { QGuiApplication::clipboard()->setText(link); });
        }
    }
    QMenu* groups = addMenu(symbolIcon(QStringLiteral("folder")), tr("Move to Group"));
    groups->addAction(tr("None"), this, [ids, actions] { actions.move(ids, std::nullopt); });
    if (!store.groups().isEmpty()) {
        groups->addSeparator();
        for (const ConnectionGroup& group : store.groups()) {
            groups->addAction(group.name, this,
                              [ids, actions, id = group.id] { actions.move(ids, id); });
        }
    }
    addSeparator();
    const QString deleteTitle =
        ids.size() == 1 ? tr("Delete…") : tr("Delete %1 Computers…").arg(ids.size());
    addAction(symbolIcon(QStringLiteral("trash")), deleteTitle, this,
              [ids, actions] { actions.remove(ids); });
}

QSet<QUuid> ConnectionContextMenu::targets(const QSet<QUuid>& selection, const QUuid& clicked) {
    return selection.contains(clicked) ? selection : QSet<QUuid>{clicked};
}

void ConnectionContextMenu::popup(const ConnectionStore& store, const QSet<QUuid>& selection,
                                  const Connection& clicked, const ConnectionActions& actions,
                                  QWidget* view, const QPoint& globalPosition) {
    auto* menu =
        new ConnectionContextMenu(store, targets(selection, clicked.id), clicked, actions, view);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->QMenu::popup(globalPosition);
}

}  // namespace tessaral
