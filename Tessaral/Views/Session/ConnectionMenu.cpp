#include "ConnectionMenu.hpp"

#include <QActionGroup>

#include "QualityActions.hpp"
#include "RemoteShortcut.hpp"
#include "VNCSession.hpp"

namespace tessaral {

ConnectionMenu::ConnectionMenu(QWidget* parent) : QMenu(tr("&Connection"), parent) {
    setObjectName(QStringLiteral("connectionMenu"));
    // Ctrl and Super together: the screen view never sends these to the remote computer.
    scaling_ = addCommand(tr("Actual Size"), QStringLiteral("Ctrl+Meta+0"));
    connect(scaling_, &QAction::triggered, this, [this] {
        ConnectionOptions options = session_->options();
        options.scaling =
            options.scaling == ScalingMode::fit ? ScalingMode::actualSize : ScalingMode::fit;
        session_->setOptions(options);
    });
    observe_ = addCommand(tr("Observe Mode"), QStringLiteral("Ctrl+Meta+O"));
    observe_->setCheckable(true);
    connect(observe_, &QAction::triggered, this, [this](bool on) {
        ConnectionOptions options = session_->options();
        options.observeOnly = on;
        session_->setOptions(options);
    });
    quality_ = addMenu(tr("Quality"));
    qualities_ = addQualityActions(quality_, this, session_);
    refresh_ = addCommand(tr("Refresh Screen"), QStringLiteral("Ctrl+Meta+R"));
    connect(refresh_, &QAction::triggered, this, [this] { session_->refreshScreen(); });
    addSeparator();
    sendClipboard_ = addCommand(tr("Send Clipboard"), QStringLiteral("Ctrl+Meta+V"));
    connect(sendClipboard_, &QAction::triggered, this, [this] { session_->sendClipboard(); });
    getClipboard_ = addCommand(tr("Get Clipboard"), QStringLiteral("Ctrl+Meta+C"));
    connect(getClipboard_, &QAction::triggered, this, [this] { session_->getClipboard(); });
    addSeparator();
    sendKeys_ = addMenu(tr("Send Keys"));
    for (RemoteShortcut shortcut : allRemoteShortcuts) {
        connect(sendKeys_->addAction(tessaral::title(shortcut)), &QAction::triggered, this,
                [this, shortcut] { session_->send(shortcut); });
    }
    typePassword_ = addCommand(tr("Type User Password"), QStringLiteral("Ctrl+Meta+P"));
    connect(typePassword_, &QAction::triggered, this, [this] { session_->typePassword(); });
    addSeparator();
    screenshot_ = addCommand(tr("Save Screenshot…"), QStringLiteral("Ctrl+Meta+S"));
    connect(screenshot_, &QAction::triggered, this, &ConnectionMenu::screenshotRequested);
    reconnect_ = addCommand(tr("Reconnect"), {});
    connect(reconnect_, &QAction::triggered, this, [this] { session_->connect(); });
    refresh();
}

QAction* ConnectionMenu::addCommand(const QString& text, const QString& keys) {
    QAction* action = addAction(text);
    if (!keys.isEmpty()) {
        action->setShortcut(QKeySequence(keys));
    }
    return action;
}

void ConnectionMenu::setSession(VNCSession* session) {
    if (session_) {
        QObject::disconnect(session_, nullptr, this, nullptr);
    }
    session_ = session;
    if (session) {
        for (auto signal : {&VNCSession::stateChanged, &VNCSession::optionsChanged,
                            &VNCSession::canTypePasswordChanged}) {
            connect(session, signal, this, &ConnectionMenu::refresh);
        }
        // Of the frame only its presence matters here, which changes once, not with every frame.
        connect(session, &VNCSession::frameChanged, this, [this] {
            if (screenshot_->isEnabled() == session_->frame().isNull()) {
                refresh();
            }
        });
    }
    refresh();
}

void ConnectionMenu::refresh() {
    VNCSession* session = session_;
    const bool connected = session && session->state().kind == VNCSession::State::Kind::connected;
    const bool observing = session && session->options().observeOnly;

    scaling_->setEnabled(session);
    scaling_->setText(session && session->options().scaling == ScalingMode::actualSize
                          ? tr("Scale to Fit")
                          : tr("Actual Size"));
    observe_->setEnabled(session);
    observe_->setChecked(observing);
    quality_->setEnabled(session);
    for (QAction* item : qualities_->actions()) {
        item->setChecked(session && item->data().toInt() == int(session->options().quality));
    }
    refresh_->setEnabled(connected);
    sendClipboard_->setEnabled(connected);
    getClipboard_->setEnabled(connected);
    sendKeys_->setEnabled(connected && !observing);
    typePassword_->setEnabled(session && session->canTypePassword());
    screenshot_->setEnabled(session && !session->frame().isNull());
    reconnect_->setEnabled(session && !connected);
}

}  // namespace tessaral
