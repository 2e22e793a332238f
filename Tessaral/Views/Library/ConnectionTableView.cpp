#include "ConnectionTableView.hpp"

#include <QHeaderView>
#include <QKeyEvent>
#include <QPainter>
#include <QSortFilterProxyModel>
#include <QStyledItemDelegate>

#include "ConnectionListModel.hpp"
#include "LibraryScope.hpp"
#include "Model/ConnectionStore.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

class NameOrder : public QSortFilterProxyModel {
  public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

  protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override {
        const int order =
            LibraryScope::naturalCompare(left.data().toString(), right.data().toString());
        if (order != 0) {
            return order < 0;
        }
        return left.row() < right.row();
    }
};

// The name cell: the computer's icon in its tint, the name and, while a session is open, a green
// dot with "Connected".
class NameDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const int side = option->decorationSize.height();
        const QPixmap icon =
            tintedSymbol(index.data(ConnectionListModel::symbolRole).toString(),
                         index.data(ConnectionListModel::tintRole).value<QColor>(), side, 2.0);
        if (!icon.isNull()) {
            option->features |= QStyleOptionViewItem::HasDecoration;
            option->icon = QIcon(icon);
        }
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        if (!index.data(ConnectionListModel::connectedRole).toBool()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        const QString marker = ConnectionTableView::tr("Connected");
        const QFontMetrics metrics(option.font);
        const int dot = metrics.height() / 2;
        const int markerWidth = dot + 4 + metrics.horizontalAdvance(marker) + 8;
        QStyleOptionViewItem narrowed = option;
        narrowed.rect.setRight(option.rect.right() - markerWidth);
        QStyledItemDelegate::paint(painter, narrowed, index);
        // The row's background under the marker, as the rest of the row has it.
        QStyleOptionViewItem rest = option;
        rest.rect.setLeft(narrowed.rect.right() + 1);
        initStyleOption(&rest, index);
        rest.text.clear();
        rest.icon = QIcon();
        rest.features &= ~QStyleOptionViewItem::HasDecoration;
        option.widget->style()->drawControl(QStyle::CE_ItemViewItem, &rest, painter, option.widget);

        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const int x = narrowed.rect.right() + 4;
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(0x34, 0xc7, 0x59));
        painter->drawEllipse(QRectF(x, option.rect.center().y() - dot / 2.0, dot, dot));
        painter->setPen(option.state.testFlag(QStyle::State_Selected)
                            ? option.palette.color(QPalette::HighlightedText)
                            : option.palette.color(QPalette::PlaceholderText));
        painter->drawText(QRect(x + dot + 4, option.rect.top(), markerWidth, option.rect.height()),
                          Qt::AlignLeft | Qt::AlignVCenter, marker);
        painter->restore();
    }
};

}  // namespace

ConnectionTableView::ConnectionTableView(const ConnectionStore& store, ConnectionListModel& model,
                                         ConnectionActions actions, QWidget* parent)
    : QTableView(parent),
      store_(store),
      model_(model),
      sorted_(new NameOrder(this)),
      actions_(std::move(actions)) {
    setObjectName(QStringLiteral("connectionTable"));
    sorted_->setSourceModel(&model_);
    sorted_->setDynamicSortFilter(true);
    setModel(sorted_);
    setItemDelegateForColumn(ConnectionListModel::nameColumn, new NameDelegate(this));
    setSelectionBehavior(SelectRows);
    setSelectionMode(ExtendedSelection);
    setDragEnabled(true);
    setDragDropMode(DragOnly);
    setDefaultDropAction(Qt::CopyAction);
    setShowGrid(false);
    setAlternatingRowColors(true);
    setWordWrap(false);
    setFrameShape(NoFrame);
    setContextMenuPolicy(Qt::CustomContextMenu);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 12);
    setIconSize(QSize(18, 18));

    QHeaderView* header = horizontalHeader();
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setSectionResizeMode(ConnectionListModel::nameColumn, QHeaderView::Stretch);
    header->resizeSection(ConnectionListModel::addressColumn, 200);
    header->resizeSection(ConnectionListModel::userColumn, 110);
    header->resizeSection(ConnectionListModel::groupColumn, 120);
    header->resizeSection(ConnectionListModel::lastConnectedColumn, 150);
    // Only the name column sorts; a click on it turns the order around.
    header->setSortIndicatorShown(true);
    header->setSortIndicator(ConnectionListModel::nameColumn, Qt::AscendingOrder);
    header->setSectionsClickable(true);
    sorted_->sort(ConnectionListModel::nameColumn, Qt::AscendingOrder);
    connect(header, &QHeaderView::sectionClicked, this, [this, header](int section) {
        if (section != ConnectionListModel::nameColumn) {
            header->setSortIndicator(ConnectionListModel::nameColumn, sorted_->sortOrder());
            return;
        }
        sorted_->sort(section, header->sortIndicatorOrder());
    });

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { emit selectedIDsChanged(selectedIDs()); });
    connect(this, &QTableView::doubleClicked, this, &ConnectionTableView::connectSelected);
    connect(this, &QWidget::customContextMenuRequested, this,
            &ConnectionTableView::showContextMenu);
}

QSet<QUuid> ConnectionTableView::selectedIDs() const {
    QSet<QUuid> ids;
    for (const QModelIndex& index : selectionModel()->selectedRows()) {
        ids.insert(model_.id(sorted_->mapToSource(index)));
    }
    return ids;
}

void ConnectionTableView::setSelectedIDs(const QSet<QUuid>& ids) {
    QItemSelection selection;
    for (const QUuid& id : ids) {
        const QModelIndex index = sorted_->mapFromSource(model_.indexOf(id));
        if (index.isValid()) {
            selection.select(index, index);
        }
    }
    selectionModel()->select(selection,
                             QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QList<QUuid> ConnectionTableView::shownIDs() const {
    QList<QUuid> ids;
    for (int row = 0; row < sorted_->rowCount(); ++row) {
        ids.append(model_.id(sorted_->mapToSource(sorted_->index(row, 0))));
    }
    return ids;
}

void ConnectionTableView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        connectSelected();
        return;
    }
    QTableView::keyPressEvent(event);
}

void ConnectionTableView::connectSelected() {
    for (const QUuid& id : selectedIDs()) {
        if (const std::optional<Connection> connection = store_.connection(id)) {
            actions_.connect(*connection);
        }
    }
}

void ConnectionTableView::showContextMenu(const QPoint& position) {
    const QModelIndex index = indexAt(position);
    const std::optional<Connection> clicked =
        store_.connection(model_.id(sorted_->mapToSource(index)));
    if (!clicked) {
        return;
    }
    ConnectionContextMenu::popup(store_, selectedIDs(), *clicked, actions_, this,
                                 viewport()->mapToGlobal(position));
}

}  // namespace tessaral
