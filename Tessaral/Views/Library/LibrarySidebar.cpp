#include "LibrarySidebar.hpp"

#include <QDragMoveEvent>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "Model/AppSettings.hpp"
#include "Model/BonjourBrowser.hpp"
#include "Model/ConnectionStore.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

enum Role { kindRole = Qt::UserRole, groupRole, badgeRole = LibrarySidebar::badgeRole };
// The kind of a section heading row.
constexpr int sectionKind = -1;

SidebarItem sidebarItem(const QTreeWidgetItem* row) {
    return {static_cast<SidebarItem::Kind>(row->data(0, kindRole).toInt()),
            row->data(0, groupRole).toUuid()};
}

struct Row {
    int section;
    SidebarItem item;
    QString title;
    QString icon;
    std::optional<qsizetype> badge;
};

class SidebarDelegate : public QStyledItemDelegate {
  public:
    SidebarDelegate(LibrarySidebar* sidebar) : QStyledItemDelegate(sidebar), sidebar_(sidebar) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(std::max(size.height(), option.fontMetrics.height() + 10));
        return size;
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        const QVariant badge = index.data(badgeRole);
        if (!badge.isValid()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const QString text = QString::number(badge.toLongLong());
        QFont font = option.font;
        font.setPointSizeF(font.pointSizeF() * 0.85);
        const QFontMetrics metrics(font);
        const int width = std::max(metrics.horizontalAdvance(text) + 12, metrics.height() + 4);
        QStyleOptionViewItem narrowed = option;
        QStyledItemDelegate::paint(painter, narrowed, index);
        const QRect pill(option.rect.right() - width - 8,
                         option.rect.center().y() - metrics.height() / 2 - 1, width,
                         metrics.height() + 2);
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const bool selected = option.state.testFlag(QStyle::State_Selected);
        QColor fill = selected ? option.palette.color(QPalette::HighlightedText)
                               : option.palette.color(QPalette::Text);
        fill.setAlphaF(0.12f);
        painter->setPen(Qt::NoPen);
        painter->setBrush(fill);
        painter->drawRoundedRect(pill, pill.height() / 2.0, pill.height() / 2.0);
        painter->setFont(font);
        painter->setPen(selected ? option.palette.color(QPalette::HighlightedText)
                                 : option.palette.color(QPalette::PlaceholderText));
        painter->drawText(pill, Qt::AlignCenter, text);
        painter->restore();
    }

    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem&,
                          const QModelIndex&) const override {
        auto* field = new QLineEdit(parent);
        field->setObjectName(QStringLiteral("groupNameField"));
        field->setPlaceholderText(LibrarySidebar::tr("Group Name"));
        return field;
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        auto* field = static_cast<QLineEdit*>(editor);
        field->setText(index.data().toString());
        field->selectAll();
    }

    // The store renames the group; the row follows from its change.
    void setModelData(QWidget* editor, QAbstractItemModel*,
                      const QModelIndex& index) const override {
        sidebar_->commitRename(index.data(groupRole).toUuid(),
                               static_cast<QLineEdit*>(editor)->text());
    }

  private:
    LibrarySidebar* sidebar_;
};

class SidebarTree : public QTreeWidget {
  public:
    explicit SidebarTree(LibrarySidebar* sidebar) : QTreeWidget(sidebar), sidebar_(sidebar) {}

  protected:
    void dragEnterEvent(QDragEnterEvent* event) override {
        if (event->mimeData()->hasText()) {
            event->acceptProposedAction();
        }
    }

    void dragMoveEvent(QDragMoveEvent* event) override {
        const QTreeWidgetItem* row = itemAt(event->position().toPoint());
        if (row && event->mimeData()->hasText() &&
            row->data(0, kindRole).toInt() == static_cast<int>(SidebarItem::Kind::group)) {
            event->acceptProposedAction();
        } else {
            event->ignore();
        }
    }

    void dropEvent(QDropEvent* event) override {
        const QTreeWidgetItem* row = itemAt(event->position().toPoint());
        if (!row || row->data(0, kindRole).toInt() != static_cast<int>(SidebarItem::Kind::group) ||
            !sidebar_->dropOnGroup(row->data(0, groupRole).toUuid(), event->mimeData()->text())) {
            event->ignore();
            return;
        }
        event->setDropAction(Qt::CopyAction);
        event->accept();
    }

  private:
    LibrarySidebar* sidebar_;
};

}  // namespace

LibrarySidebar::LibrarySidebar(ConnectionStore& store, const BonjourBrowser& browser,
                               QWidget* parent)
    : QWidget(parent), store_(store), browser_(browser), tree_(new SidebarTree(this)) {
    setObjectName(QStringLiteral("librarySidebar"));
    tree_->setObjectName(QStringLiteral("sidebarTree"));
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(false);
    tree_->setItemsExpandable(false);
    tree_->setIndentation(8);
    tree_->setFrameShape(QFrame::NoFrame);
    tree_->setIconSize(QSize(18, 18));
    tree_->setAcceptDrops(true);
    tree_->setDropIndicatorShown(false);
    tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree_->setContextMenuPolicy(Qt::CustomContextMenu);
    auto* delegate = new SidebarDelegate(this);
    tree_->setItemDelegate(delegate);
    // Escape leaves rename mode too, keeping the name.
    connect(delegate, &QAbstractItemDelegate::closeEditor, this, [this] { renaming_.reset(); });
    QPalette colors = tree_->palette();
    colors.setColor(QPalette::Base, colors.color(QPalette::Window));
    tree_->setPalette(colors);

    newGroupButton_ = new QPushButton(symbolIcon(QStringLiteral("plus.circle")), tr("New Group"));
    newGroupButton_->setObjectName(QStringLiteral("newGroupButton"));
    newGroupButton_->setFlat(true);
    newGroupButton_->setToolTip(tr("Create a group"));
    newGroupButton_->setStyleSheet(QStringLiteral("text-align: left; padding: 4px 8px;"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 6);
    layout->setSpacing(0);
    layout->addWidget(tree_);
    layout->addWidget(newGroupButton_);

    connect(newGroupButton_, &QPushButton::clicked, this, &LibrarySidebar::newGroup);
    connect(tree_, &QTreeWidget::itemSelectionChanged, this, &LibrarySidebar::treeSelectionChanged);
    connect(tree_, &QTreeWidget::currentItemChanged, this, &LibrarySidebar::skipHeading);
    connect(tree_, &QWidget::customContextMenuRequested, this, &LibrarySidebar::showContextMenu);
    connect(&store_, &ConnectionStore::connectionsChanged, this, &LibrarySidebar::refresh);
    connect(&store_, &ConnectionStore::groupsChanged, this, &LibrarySidebar::refresh);
    connect(&browser_, &BonjourBrowser::servicesChanged, this, &LibrarySidebar::refresh);
    connect(&AppSettings::instance(), &AppSettings::changed, this, [this](const QString& key) {
        if (key == AppSettings::showNearbyKey) {
            refresh();
        }
    });
    rebuild();
}

namespace {

// A row counts what it lists; an empty one shows no badge.
std::optional<qsizetype> badge(qsizetype count) {
    return count > 0 ? std::optional(count) : std::nullopt;
}

QList<Row> rows(const ConnectionStore& store, const BonjourBrowser& browser) {
    const bool links = std::ranges::any_of(store.connections(), [](const Connection& connection) {
        return connection.origin == ConnectionOrigin::link;
    });
    using Kind = SidebarItem::Kind;
    QList<Row> list = {
        {0,
         {Kind::all, {}},
         LibrarySidebar::tr("All Computers"),
         QStringLiteral("display.2"),
         badge(LibraryScope::scoped(store, SidebarItem{}).size())},
        {0, {Kind::recents, {}}, LibrarySidebar::tr("Recents"), QStringLiteral("clock"), {}},
    };
    if (links) {
        list.append(
            {0, {Kind::links, {}}, LibrarySidebar::tr("Links"), QStringLiteral("link"), {}});
    }
    if (AppSettings::showNearby()) {
        list.append({1,
                     {Kind::nearby, {}},
                     LibrarySidebar::tr("Bonjour"),
                     QStringLiteral("bonjour"),
                     badge(browser.services().size())});
    }
    for (const ConnectionGroup& group : store.groups()) {
        const SidebarItem item = SidebarItem::group(group.id);
        list.append({2, item, group.name, QStringLiteral("folder"),
                     badge(LibraryScope::scoped(store, item).size())});
    }
    return list;
}

}  // namespace

void LibrarySidebar::refresh() {
    const QList<Row> wanted = rows(store_, browser_);
    QList<QTreeWidgetItem*> shown;
    for (int section = 0; section < tree_->topLevelItemCount(); ++section) {
        QTreeWidgetItem* heading = tree_->topLevelItem(section);
        for (int child = 0; child < heading->childCount(); ++child) {
            shown.append(heading->child(child));
        }
    }
    bool sameRows = shown.size() == wanted.size();
    for (qsizetype i = 0; sameRows && i < wanted.size(); ++i) {
        sameRows = sidebarItem(shown[i]) == wanted[i].item;
    }
    if (!sameRows) {
        rebuild();
        return;
    }
    // Counts and names change in place, so that a rename in progress keeps its field.
    for (qsizetype i = 0; i < wanted.size(); ++i) {
        shown[i]->setText(0, wanted[i].title);
        shown[i]->setData(0, badgeRole,
                          wanted[i].badge ? QVariant::fromValue(*wanted[i].badge) : QVariant());
    }
}

void LibrarySidebar::rebuild() {
    rebuilding_ = true;
    tree_->clear();
    const QStringList sections = {tr("Library"), tr("Nearby"), tr("Groups")};
    QList<QTreeWidgetItem*> headings;
    for (const QString& title : sections) {
        auto* heading = new QTreeWidgetItem({title});
        heading->setData(0, kindRole, sectionKind);
        // Enabled, or the rows under it would be drawn disabled too; never selectable.
        heading->setFlags(Qt::ItemIsEnabled);
        QFont font = tree_->font();
        font.setPointSizeF(font.pointSizeF() * 0.85);
        font.setWeight(QFont::DemiBold);
        heading->setFont(0, font);
        heading->setForeground(0, tree_->palette().color(QPalette::PlaceholderText));
        headings.append(heading);
    }
    const QList<Row> wanted = rows(store_, browser_);
    for (const Row& row : wanted) {
        auto* item = new QTreeWidgetItem(headings[row.section], {row.title});
        item->setIcon(0, symbolIcon(row.icon));
        item->setData(0, kindRole, static_cast<int>(row.item.kind));
        item->setData(0, groupRole, row.item.groupID);
        if (row.badge) {
            item->setData(0, badgeRole, QVariant::fromValue(*row.badge));
        }
        Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        if (row.item.kind == SidebarItem::Kind::group) {
            flags |= Qt::ItemIsEditable | Qt::ItemIsDropEnabled;
        }
        item->setFlags(flags);
    }
    for (QTreeWidgetItem* heading : headings) {
        // The nearby heading stays out while the preference hides nearby computers.
        if (heading->childCount() > 0 || heading == headings[2]) {
            tree_->addTopLevelItem(heading);
            heading->setExpanded(true);
        } else {
            delete heading;
        }
    }
    rebuilding_ = false;

    // A scope that is gone (links cleared, group deleted elsewhere) gives way to all computers.
    if (selection_ && !item(*selection_)) {
        setSelection(SidebarItem{});
        return;
    }
    {
        QSignalBlocker blocker(tree_);
        tree_->setCurrentItem(selection_ ? item(*selection_) : nullptr);
    }
    if (renaming_) {
        if (QTreeWidgetItem* row = item(SidebarItem::group(*renaming_))) {
            tree_->editItem(row);
        }
    }
}

QTreeWidgetItem* LibrarySidebar::item(const SidebarItem& wanted) const {
    for (int section = 0; section < tree_->topLevelItemCount(); ++section) {
        QTreeWidgetItem* heading = tree_->topLevelItem(section);
        for (int child = 0; child < heading->childCount(); ++child) {
            if (sidebarItem(heading->child(child)) == wanted) {
                return heading->child(child);
            }
        }
    }
    return nullptr;
}

void LibrarySidebar::setSelection(const std::optional<SidebarItem>& wanted) {
    QTreeWidgetItem* row = wanted ? item(*wanted) : nullptr;
    {
        QSignalBlocker blocker(tree_);
        if (row) {
            tree_->setCurrentItem(row);
        } else {
            tree_->clearSelection();
        }
    }
    const std::optional<SidebarItem> selection = row ? wanted : std::nullopt;
    if (selection != selection_) {
        selection_ = selection;
        emit selectionChanged(selection_);
    }
}

void LibrarySidebar::treeSelectionChanged() {
    const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    // A heading cannot be selected: the keyboard passing over one leaves the scope as it was.
    if (rebuilding_ || selected.isEmpty()) {
        return;
    }
    const std::optional<SidebarItem> selection = sidebarItem(selected.first());
    if (selection != selection_) {
        selection_ = selection;
        emit selectionChanged(selection_);
    }
}

// Headings only label their rows, so the arrow keys move past them to the next row that way.
void LibrarySidebar::skipHeading(QTreeWidgetItem* current, QTreeWidgetItem* previous) {
    if (!current || current->data(0, kindRole).toInt() != sectionKind) {
        return;
    }
    const bool down = !previous || tree_->indexOfTopLevelItem(current) >
                                       tree_->indexOfTopLevelItem(previous->parent());
    QTreeWidgetItem* next = current;
    do {
        next = down ? tree_->itemBelow(next) : tree_->itemAbove(next);
    } while (next && next->data(0, kindRole).toInt() == sectionKind);
    tree_->setCurrentItem(next ? next : previous);
}

void LibrarySidebar::newGroup() {
    QStringList names;
    for (const ConnectionGroup& group : store_.groups()) {
        names.append(group.name);
    }
    const ConnectionGroup group = store_.addGroup(LibraryScope::newGroupName(names));
    setSelection(SidebarItem::group(group.id));
    beginRename(group.id);
}

void LibrarySidebar::beginRename(const QUuid& groupID) {
    QTreeWidgetItem* row = item(SidebarItem::group(groupID));
    if (!row) {
        return;
    }
    renaming_ = groupID;
    if (tree_->isVisible()) {
        tree_->setFocus();
        tree_->editItem(row);
    }
}

void LibrarySidebar::commitRename(const QUuid& groupID, const QString& text) {
    if (renaming_ != groupID) {
        return;
    }
    renaming_.reset();
    const QString name = trimmedSpacesAndTabs(text).toString();
    if (!name.isEmpty()) {
        store_.renameGroup(groupID, name);
    }
}

bool LibrarySidebar::dropOnGroup(const QUuid& groupID, const QString& text) {
    QSet<QUuid> ids;
    for (const QString& line : text.split(u'\n', Qt::SkipEmptyParts)) {
        const QUuid id = QUuid::fromString(line.trimmed());
        if (!id.isNull()) {
            ids.insert(id);
        }
    }
    if (ids.isEmpty()) {
        return false;
    }
    store_.move(ids, groupID);
    return true;
}

void LibrarySidebar::deleteGroup(const QUuid& groupID) {
    if (selection_ == SidebarItem::group(groupID)) {
        setSelection(SidebarItem{});
    }
    store_.deleteGroup(groupID);
}

void LibrarySidebar::clearLinks() {
    if (selection_ && selection_->kind == SidebarItem::Kind::links) {
        setSelection(SidebarItem{});
    }
    store_.clearLinks();
}

void LibrarySidebar::showContextMenu(const QPoint& position) {
    const QTreeWidgetItem* row = tree_->itemAt(position);
    if (!row) {
        return;
    }
    const SidebarItem clicked = sidebarItem(row);
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    if (row->data(0, kindRole).toInt() == static_cast<int>(SidebarItem::Kind::links)) {
        menu->addAction(tr("Clear Links"), this, &LibrarySidebar::clearLinks);
    } else if (row->data(0, kindRole).toInt() == static_cast<int>(SidebarItem::Kind::group)) {
        menu->addAction(tr("Rename"), this, [this, id = clicked.groupID] { beginRename(id); });
        menu->addAction(tr("Delete Group"), this,
                        [this, id = clicked.groupID] { deleteGroup(id); });
    } else {
        delete menu;
        return;
    }
    menu->popup(tree_->viewport()->mapToGlobal(position));
}

}  // namespace tessaral
