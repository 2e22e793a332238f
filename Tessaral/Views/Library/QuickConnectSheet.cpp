#include "QuickConnectSheet.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "Model/ConnectionStore.hpp"
#include "RFBError.hpp"
#include "Views/FormParts.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

constexpr int recentIconSize = 22;

QWidget* recentRow(const Connection& connection, qreal devicePixelRatio) {
    auto* row = new QWidget;
    auto* icon = new QLabel;
    icon->setPixmap(tintedSymbol(connection.symbol, QColor(tintColor(connection.tint)),
                                 recentIconSize, devicePixelRatio));
    icon->setFixedSize(recentIconSize, recentIconSize);
    auto* name = new QLabel(connection.name);
    auto* address = new QLabel(connection.addressDescription());
    address->setForegroundRole(QPalette::PlaceholderText);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    texts->addWidget(name);
    texts->addWidget(address);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(10);
    layout->addWidget(icon);
    layout->addLayout(texts, 1);
    return row;
}

}  // namespace

std::optional<rfb::VNCAddress> QuickConnectSheet::addressFromText(const QString& text) {
    try {
        return rfb::VNCAddress::parse(text.toStdString());
    } catch (const rfb::RFBError&) {
        return std::nullopt;
    }
}

QuickConnectSheet::QuickConnectSheet(const ConnectionStore& store, QWidget* parent)
    : QDialog(parent), address_(new QLineEdit), connect_(new QPushButton(tr("Connect"))) {
    setObjectName(QStringLiteral("quickConnectSheet"));
    setWindowModality(Qt::WindowModal);
    setWindowTitle(tr("Quick Connect"));

    auto* icon = new QLabel;
    icon->setPixmap(
        symbolIcon(QStringLiteral("bolt.fill")).pixmap(QSize(28, 28), devicePixelRatioF()));
    auto* title = new QLabel(tr("Quick Connect"));
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.3);
    titleFont.setWeight(QFont::DemiBold);
    title->setFont(titleFont);
    auto* header = new QHBoxLayout;
    header->setSpacing(10);
    header->addWidget(icon);
    header->addWidget(title, 1);

    auto* addressLabel = new QLabel(tr("Address"));
    addressLabel->setBuddy(address_);
    address_->setObjectName(QStringLiteral("addressField"));
    address_->setPlaceholderText(tr("vnc://, IP address or hostname"));
    auto* examples =
        new QLabel(tr("Examples: 192.168.1.20, imac.local, server:1, "
                      "vnc://user@host:5901"));
    examples->setObjectName(QStringLiteral("examples"));
    examples->setForegroundRole(QPalette::PlaceholderText);
    examples->setWordWrap(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->setSpacing(8);
    layout->addLayout(header);
    layout->addSpacing(6);
    layout->addWidget(addressLabel);
    layout->addWidget(address_);
    layout->addWidget(examples);

    const QList<Connection> recents = store.recents().mid(0, maximumRecents);
    if (!recents.isEmpty()) {
        auto* recentLabel = new QLabel(tr("Recent"));
        QFont headline = recentLabel->font();
        headline.setWeight(QFont::DemiBold);
        recentLabel->setFont(headline);
        recents_ = new QListWidget;
        recents_->setObjectName(QStringLiteral("recentList"));
        recents_->setSelectionMode(QAbstractItemView::NoSelection);
        recents_->setFocusPolicy(Qt::NoFocus);
        for (const Connection& connection : recents) {
            auto* item = new QListWidgetItem(recents_);
            item->setData(Qt::UserRole, connection.id);
            item->setData(Qt::AccessibleTextRole,
                          connection.name + QStringLiteral(", ") + connection.addressDescription());
            QWidget* row = recentRow(connection, devicePixelRatioF());
            item->setSizeHint(row->sizeHint());
            recents_->setItemWidget(item, row);
        }
        int height = 2 * recents_->frameWidth();
        for (int row = 0; row < recents_->count(); ++row) {
            height += recents_->sizeHintForRow(row);
        }
        recents_->setFixedHeight(height);
        connect(recents_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) {
            const QUuid id = item->data(Qt::UserRole).toUuid();
            accept();
            emit recentChosen(id);
        });
        layout->addSpacing(8);
        layout->addWidget(recentLabel);
        layout->addWidget(recents_);
    }

    auto* cancel = new QPushButton(tr("Cancel"));
    cancel->setObjectName(QStringLiteral("cancelButton"));
    cancel->setAutoDefault(false);
    connect_->setObjectName(QStringLiteral("connectButton"));
    connect_->setDefault(true);
    connect_->setEnabled(false);
    layout->addSpacing(8);
    layout->addLayout(sheetButtons(cancel, connect_));
    setMinimumWidth(500);

    connect(address_, &QLineEdit::textChanged, this, [this](const QString& text) {
        connect_->setEnabled(addressFromText(text).has_value());
    });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(connect_, &QPushButton::clicked, this, &QuickConnectSheet::submit);
    address_->setFocus();
}

void QuickConnectSheet::submit() {
    const std::optional<rfb::VNCAddress> address = addressFromText(address_->text());
    if (!address) {
        return;
    }
    accept();
    emit connectRequested(*address);
}

}  // namespace tessaral
