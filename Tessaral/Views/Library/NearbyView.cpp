#include "NearbyView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "EmptyStateView.hpp"
#include "LibraryScope.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

NearbyView::NearbyView(BonjourBrowser& browser, ServiceAction connect, ServiceAction save,
                       QWidget* parent)
    : QWidget(parent),
      browser_(browser),
      connect_(std::move(connect)),
      save_(std::move(save)),
      stack_(new QStackedWidget),
      list_(new QListWidget),
      empty_(new EmptyStateView) {
    setObjectName(QStringLiteral("nearbyView"));
    list_->setObjectName(QStringLiteral("nearbyList"));
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setAlternatingRowColors(true);
    stack_->addWidget(list_);
    stack_->addWidget(empty_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(stack_);
    QObject::connect(&browser_, &BonjourBrowser::servicesChanged, this, &NearbyView::refresh);
    QObject::connect(&browser_, &BonjourBrowser::errorMessageChanged, this, &NearbyView::refresh);
    refresh();
}

void NearbyView::setSearchText(const QString& text) {
    if (text != searchText_) {
        searchText_ = text;
        refresh();
    }
}

QList<BonjourBrowser::Service> NearbyView::shownServices() const {
    const QString search = trimmedSpacesAndTabs(searchText_).toString();
    QList<BonjourBrowser::Service> shown;
    for (const BonjourBrowser::Service& service : browser_.services()) {
        if (search.isEmpty() || LibraryScope::localizedContains(service.name, search)) {
            shown.append(service);
        }
    }
    return shown;
}

void NearbyView::refresh() {
    const QList<BonjourBrowser::Service> shown = shownServices();
    if (browser_.errorMessage()) {
        empty_->present(QStringLiteral("wifi.exclamationmark"), tr("Can’t Browse the Network"),
                        *browser_.errorMessage());
        QObject::connect(empty_->addButton(tr("Try Again")), &QPushButton::clicked, &browser_,
                         &BonjourBrowser::restart);
        stack_->setCurrentWidget(empty_);
        return;
    }
    if (shown.isEmpty()) {
        empty_->present(QStringLiteral("dot.radiowaves.left.and.right"),
                        tr("Looking for Computers…"),
                        tr("Computers on your network with Screen Sharing or a VNC server that "
                           "advertises itself with Bonjour appear here."));
        stack_->setCurrentWidget(empty_);
        return;
    }
    list_->clear();
    for (const BonjourBrowser::Service& service : shown) {
        auto* row = new QWidget;
        auto* icon = new QLabel;
        icon->setFixedWidth(32);
        icon->setPixmap(symbolIcon(QStringLiteral("desktopcomputer"))
                            .pixmap(QSize(28, 28), devicePixelRatioF()));
        auto* name = new QLabel(service.name);
        QFont font = name->font();
        font.setWeight(QFont::DemiBold);
        name->setFont(font);
        auto* detail = new QLabel(tr("Screen Sharing · Bonjour"));
        QPalette secondary = detail->palette();
        secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
        detail->setPalette(secondary);
        auto* text = new QVBoxLayout;
        text->setSpacing(0);
        text->addWidget(name);
        text->addWidget(detail);
        auto* add = new QPushButton(tr("Add to Library"));
        auto* connectButton = new QPushButton(tr("Connect"));
        connectButton->setDefault(true);
        QObject::connect(add, &QPushButton::clicked, this, [this, service] { save_(service); });
        QObject::connect(connectButton, &QPushButton::clicked, this,
                         [this, service] { connect_(service); });
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(12, 6, 12, 6);
        layout->addWidget(icon);
        layout->addLayout(text, 1);
        layout->addWidget(add);
        layout->addWidget(connectButton);
        auto* item = new QListWidgetItem(list_);
        item->setSizeHint(row->sizeHint());
        list_->setItemWidget(item, row);
    }
    stack_->setCurrentWidget(list_);
}

}  // namespace tessaral
