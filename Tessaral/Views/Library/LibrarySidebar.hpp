#pragma once

#include <QSet>
#include <QUuid>
#include <QWidget>
#include <optional>

#include "LibraryScope.hpp"

class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace tessaral {

class BonjourBrowser;
class ConnectionStore;

// The scopes of the library window: all computers, recents, links (while there are any), the
// nearby computers (while the preference shows them) and the groups, with their counts. Group
// rows take computers dropped on them, rename in place and delete from their context menu.
class LibrarySidebar : public QWidget {
    Q_OBJECT

  public:
    // `store` and `browser` must outlive the sidebar.
    LibrarySidebar(ConnectionStore& store, const BonjourBrowser& browser,
                   QWidget* parent = nullptr);

    const std::optional<SidebarItem>& selection() const { return selection_; }
    void setSelection(const std::optional<SidebarItem>& item);

    // Creates a group with the next free "New Group" name, selects it and starts renaming it.
    void newGroup();
    // Puts the group's row into rename mode.
    void beginRename(const QUuid& groupID);
    // Ends rename mode: a name that is blank once spaces and tabs are trimmed keeps the old one.
    void commitRename(const QUuid& groupID, const QString& text);
    const std::optional<QUuid>& renaming() const { return renaming_; }
    // Moves the computers whose ids the dropped text carries into the group; false when the text
    // carried none.
    bool dropOnGroup(const QUuid& groupID, const QString& text);
    void deleteGroup(const QUuid& groupID);
    void clearLinks();

    // A row's count, in this role of its item; absent from a row that shows none.
    static constexpr int badgeRole = Qt::UserRole + 2;

    QTreeWidget* tree() const { return tree_; }
    // The row of a scope, none when the sidebar does not show it.
    QTreeWidgetItem* item(const SidebarItem& item) const;

  signals:
    void selectionChanged(const std::optional<SidebarItem>& item);

  private:
    void refresh();
    void rebuild();
    void treeSelectionChanged();
    void skipHeading(QTreeWidgetItem* current, QTreeWidgetItem* previous);
    void showContextMenu(const QPoint& position);

    ConnectionStore& store_;
    const BonjourBrowser& browser_;
    QTreeWidget* tree_;
    QPushButton* newGroupButton_;
    std::optional<SidebarItem> selection_;
    std::optional<QUuid> renaming_;
    bool rebuilding_ = false;
};

}  // namespace tessaral
