#include "ProtectionBadge.hpp"

#include <QHBoxLayout>
#include <QLabel>

#include "VNCSession.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

constexpr int iconSize = 16;

}  // namespace

ProtectionBadge::ProtectionBadge(VNCSession* session, QWidget* parent)
    : QWidget(parent), session_(session), icon_(new QLabel), text_(new QLabel) {
    setObjectName(QStringLiteral("protectionBadge"));
    text_->setObjectName(QStringLiteral("protectionText"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(8, 0, 12, 0);
    layout->setSpacing(6);
    layout->addWidget(icon_);
    layout->addWidget(text_);
    connect(session, &VNCSession::stateChanged, this, &ProtectionBadge::refresh);
    connect(session, &VNCSession::serverInfoChanged, this, &ProtectionBadge::refresh);
    refresh();
}

QString ProtectionBadge::text() const {
    return text_->text();
}

void ProtectionBadge::refresh() {
    const bool connected = session_ &&
                           session_->state().kind == VNCSession::State::Kind::connected &&
                           session_->serverInfo();
    // Emptied rather than hidden: the toolbar decides the visibility of the widgets it holds.
    if (!connected) {
        symbol_.clear();
        icon_->clear();
        text_->clear();
        return;
    }
    const rfb::RFBProtection& protection = session_->serverInfo()->protection;
    const bool unverified =
        protection.encrypted && protection.identity == rfb::RFBProtection::Identity::none;
    // Through a gateway ssh encrypts at least the way there.
    symbol_ = !protection.encrypted && protection.gateway.empty() ? QStringLiteral("lock.open")
              : unverified ? QStringLiteral("lock.trianglebadge.exclamationmark")
                           : QStringLiteral("lock");
    // The warning keeps its own orange; the others take the toolbar's text colour.
    const QColor color = unverified ? QColor(240, 150, 15) : palette().color(QPalette::WindowText);
    icon_->setPixmap(tintedSymbol(symbol_, color, iconSize, devicePixelRatioF()));
    text_->setText(protectionText(protection));
}

}  // namespace tessaral
