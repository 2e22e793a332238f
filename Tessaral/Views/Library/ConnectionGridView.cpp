#include "ConnectionGridView.hpp"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QStyledItemDelegate>

#include "ConnectionListModel.hpp"
#include "Model/ConnectionStore.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

constexpr qreal previewAspect = 1.6;
constexpr qreal cornerRadius = 14;
constexpr int textGap = 8;

QFont headlineFont(QFont font) {
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont subheadlineFont(QFont font) {
    font.setPointSizeF(font.pointSizeF() * 0.9);
    return font;
}

class CardDelegate : public QStyledItemDelegate {
  public:
    explicit CardDelegate(QListView* view) : QStyledItemDelegate(view), view_(view) {}

    void setWidth(int width) { width_ = width; }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const override {
        const int lines = QFontMetrics(headlineFont(option.font)).height() +
                          2 * QFontMetrics(subheadlineFont(option.font)).height() + 4;
        return {width_, qRound(width_ / previewAspect) + textGap + lines};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        const QPalette& palette = option.palette;
        const bool selected = option.state.testFlag(QStyle::State_Selected);
        const bool hovered = option.state.testFlag(QStyle::State_MouseOver);
        const QRect card = option.rect;
        const QRectF preview(card.left(), card.top(), card.width(),
                             qRound(card.width() / previewAspect));
        QPainterPath shape;
        shape.addRoundedRect(preview.adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);

        const QImage thumbnail = index.data(ConnectionListModel::thumbnailRole).value<QImage>();
        const QColor tint = index.data(ConnectionListModel::tintRole).value<QColor>();
        painter->save();
        painter->setClipPath(shape);
        if (!thumbnail.isNull()) {
            const QSize fill =
                thumbnail.size().scaled(preview.size().toSize(), Qt::KeepAspectRatioByExpanding);
            const QRectF target(preview.center().x() - fill.width() / 2.0,
                                preview.center().y() - fill.height() / 2.0, fill.width(),
                                fill.height());
            painter->setRenderHint(QPainter::SmoothPixmapTransform);
            painter->drawImage(target, thumbnail);
        } else {
            QLinearGradient gradient(preview.topLeft(), preview.bottomRight());
            gradient.setColorAt(0, tint.lighter(135));
            gradient.setColorAt(1, tint.darker(115));
            painter->fillPath(shape, gradient);
            const int side = qRound(preview.height() * 0.42);
            const QPixmap icon =
                tintedSymbol(index.data(ConnectionListModel::symbolRole).toString(), Qt::white,
                             side, view_->devicePixelRatioF());
            if (!icon.isNull()) {
                painter->drawPixmap(
                    QPointF(preview.center().x() - side / 2.0, preview.center().y() - side / 2.0),
                    icon);
            }
        }
        if (hovered && !selected) {
            painter->fillPath(shape, QColor(255, 255, 255, 28));
        }
        painter->restore();

        QColor outline = palette.color(QPalette::Text);
        outline.setAlphaF(0.08f);
        painter->setPen(QPen(outline, 1));
        painter->drawPath(shape);
        if (selected) {
            painter->setPen(QPen(palette.color(QPalette::Highlight), 3));
            painter->drawRoundedRect(preview.adjusted(-1.5, -1.5, 1.5, 1.5), cornerRadius + 1.5,
                                     cornerRadius + 1.5);
        }

        // The text lines, elided to the card.
        int y = qRound(preview.bottom()) + textGap;
        const QFont headline = headlineFont(option.font);
        const QFont subheadline = subheadlineFont(option.font);
        const auto line = [&](const QFont& font, const QColor& color, const QString& text,
                              int indent = 0) {
            const QFontMetrics metrics(font);
            painter->setFont(font);
            painter->setPen(color);
            const QRect rect(card.left() + indent, y, card.width() - indent, metrics.height());
            painter->drawText(rect, Qt::AlignLeft | Qt::AlignVCenter,
                              metrics.elidedText(text, Qt::ElideRight, rect.width()));
            y += metrics.height();
        };
        line(headline, palette.color(QPalette::Text), index.data(Qt::DisplayRole).toString());
        line(subheadline, palette.color(QPalette::PlaceholderText),
             index.data(ConnectionListModel::subtitleRole).toString());
        if (index.data(ConnectionListModel::connectedRole).toBool()) {
            const int dot = QFontMetrics(subheadline).height() / 2;
            painter->setPen(Qt::NoPen);
            painter->setBrush(QColor(0x34, 0xc7, 0x59));
            painter->drawEllipse(QRectF(card.left(), y + 2 + dot / 2.0, dot, dot));
            y += 2;
            line(subheadline, palette.color(QPalette::PlaceholderText),
                 ConnectionGridView::tr("Connected"), dot + 5);
        }
        painter->restore();
    }

  private:
    QListView* view_;
    int width_ = ConnectionGridView::minimumColumnWidth;
};

}  // namespace

ConnectionGridView::ConnectionGridView(const ConnectionStore& store, ConnectionListModel& model,
                                       ConnectionActions actions, QWidget* parent)
    : QListView(parent), store_(store), model_(model), actions_(std::move(actions)) {
    setObjectName(QStringLiteral("connectionGrid"));
    setViewMode(IconMode);
    setMovement(Static);
    setResizeMode(Adjust);
    setWrapping(true);
    setUniformItemSizes(true);
    setSelectionMode(ExtendedSelection);
    setDragEnabled(true);
    setDragDropMode(DragOnly);
    setDefaultDropAction(Qt::CopyAction);
    setMouseTracking(true);
    setFrameShape(NoFrame);
    setVerticalScrollMode(ScrollPerPixel);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setItemDelegate(new CardDelegate(this));
    // The padding around the cards keeps the view's own background.
    QPalette colors = palette();
    colors.setColor(QPalette::Base, colors.color(QPalette::Window));
    setPalette(colors);
    setViewportMargins(padding - columnSpacing / 2, padding - rowSpacing / 2, 0, 0);
    setModel(&model_);

    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { emit selectedIDsChanged(selectedIDs()); });
    connect(this, &QListView::doubleClicked, this, [this](const QModelIndex& index) {
        if (const std::optional<Connection> connection = store_.connection(model_.id(index))) {
            actions_.connect(*connection);
        }
    });
    connect(this, &QWidget::customContextMenuRequested, this, &ConnectionGridView::showContextMenu);
    updateCardSize();
}

QSet<QUuid> ConnectionGridView::selectedIDs() const {
    QSet<QUuid> ids;
    for (const QModelIndex& index : selectionModel()->selectedIndexes()) {
        ids.insert(model_.id(index));
    }
    return ids;
}

void ConnectionGridView::setSelectedIDs(const QSet<QUuid>& ids) {
    QItemSelection selection;
    for (const QUuid& id : ids) {
        const QModelIndex index = model_.indexOf(id);
        if (index.isValid()) {
            selection.select(index, index);
        }
    }
    selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

int ConnectionGridView::columnWidth(int viewportWidth) {
    // The cells include half the spacing on either side; the viewport margins give the rest of
    // the padding.
    const int cell = minimumColumnWidth + columnSpacing;
    const int columns = std::max(1, viewportWidth / cell);
    return std::clamp(viewportWidth / columns - columnSpacing, minimumColumnWidth,
                      maximumColumnWidth);
}

void ConnectionGridView::resizeEvent(QResizeEvent* event) {
    QListView::resizeEvent(event);
    updateCardSize();
}

void ConnectionGridView::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        state() != EditingState) {
        for (const QUuid& id : selectedIDs()) {
            if (const std::optional<Connection> connection = store_.connection(id)) {
                actions_.connect(*connection);
            }
        }
        return;
    }
    QListView::keyPressEvent(event);
}

void ConnectionGridView::updateCardSize() {
    // The scroll bar's room is always left, so that its coming and going does not change the
    // number of columns.
    const int scrollBar =
        verticalScrollBar()->isVisible() ? 0 : style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const int width = columnWidth(viewport()->width() - scrollBar);
    auto* delegate = static_cast<CardDelegate*>(itemDelegate());
    delegate->setWidth(width);
    QStyleOptionViewItem option;
    initViewItemOption(&option);
    const QSize card = delegate->sizeHint(option, {});
    const QSize cell(card.width() + columnSpacing, card.height() + rowSpacing);
    if (gridSize() != cell) {
        setGridSize(cell);
    }
}

void ConnectionGridView::showContextMenu(const QPoint& position) {
    const QModelIndex index = indexAt(position);
    const std::optional<Connection> clicked = store_.connection(model_.id(index));
    if (!clicked) {
        return;
    }
    ConnectionContextMenu::popup(store_, selectedIDs(), *clicked, actions_, this,
                                 viewport()->mapToGlobal(position));
}

}  // namespace tessaral
