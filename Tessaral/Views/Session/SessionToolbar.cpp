#include "SessionToolbar.hpp"

#include <QActionGroup>
#include <QMenu>
#include <QToolButton>

#include "QualityActions.hpp"
#include "RemoteShortcut.hpp"
#include "VNCSession.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

QAction* addItem(QMenu* menu, const QString& text, const QString& symbol) {
    return menu->addAction(symbolIcon(symbol), text);
}

}  // namespace

SessionToolbar::SessionToolbar(VNCSession* session, QWidget* parent)
    : QToolBar(tr("Session"), parent), session_(session) {
    setObjectName(QStringLiteral("sessionToolbar"));
    setMovable(false);
    setFloatable(false);
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setContextMenuPolicy(Qt::PreventContextMenu);
    // Clicking a control must not take the keyboard away from the remote screen.
    setFocusPolicy(Qt::NoFocus);

    scaling_ = addAction(QString());
    scaling_->setObjectName(QStringLiteral("scalingAction"));
    connect(scaling_, &QAction::triggered, this, [this] {
        ConnectionOptions options = session_->options();
        options.scaling =
            options.scaling == ScalingMode::fit ? ScalingMode::actualSize : ScalingMode::fit;
        session_->setOptions(options);
    });

    observe_ = addAction(tr("Observe"));
    observe_->setObjectName(QStringLiteral("observeAction"));
    observe_->setCheckable(true);
    observe_->setToolTip(
        tr("Observe mode: view the screen without sending keyboard or mouse input"));
    connect(observe_, &QAction::triggered, this, [this](bool on) {
        ConnectionOptions options = session_->options();
        options.observeOnly = on;
        session_->setOptions(options);
    });

    auto* keyboardMenu = new QMenu(this);
    for (RemoteShortcut shortcut : allRemoteShortcuts) {
        connect(addItem(keyboardMenu, title(shortcut), iconName(shortcut)), &QAction::triggered,
                this, [this, shortcut] { session_->send(shortcut); });
    }
    keyboardMenu->addSeparator();
    connect(addItem(keyboardMenu, tr("Type Text…"), QStringLiteral("character.cursor.ibeam")),
            &QAction::triggered, this, &SessionToolbar::typeTextRequested);
    typePassword_ = addItem(keyboardMenu, tr("Type User Password"), QStringLiteral("key"));
    typePassword_->setObjectName(QStringLiteral("typePasswordAction"));
    connect(typePassword_, &QAction::triggered, this, [this] { session_->typePassword(); });
    keyboard_ = addMenuAction(tr("Keyboard"), QStringLiteral("command"),
                              tr("Send keyboard shortcuts"), keyboardMenu);
    keyboard_->setObjectName(QStringLiteral("keyboardAction"));

    auto* clipboardMenu = new QMenu(this);
    connect(
        addItem(clipboardMenu, tr("Send Clipboard"), QStringLiteral("arrow.up.doc.on.clipboard")),
        &QAction::triggered, this, [this] { session_->sendClipboard(); });
    connect(
        addItem(clipboardMenu, tr("Get Clipboard"), QStringLiteral("arrow.down.doc.on.clipboard")),
        &QAction::triggered, this, [this] { session_->getClipboard(); });
    clipboardMenu->addSeparator();
    shareClipboard_ = clipboardMenu->addAction(tr("Share Clipboard Automatically"));
    shareClipboard_->setCheckable(true);
    connect(shareClipboard_, &QAction::triggered, this, [this](bool on) {
        ConnectionOptions options = session_->options();
        options.shareClipboard = on;
        session_->setOptions(options);
    });
    clipboard_ = addMenuAction(tr("Clipboard"), QStringLiteral("doc.on.clipboard"), tr("Clipboard"),
                               clipboardMenu);
    clipboard_->setObjectName(QStringLiteral("clipboardAction"));

    auto* qualityMenu = new QMenu(this);
    qualities_ = addQualityActions(qualityMenu, this, session_);
    qualityMenu->addSeparator();
    connect(addItem(qualityMenu, tr("Refresh Screen"), QStringLiteral("arrow.clockwise")),
            &QAction::triggered, this, [this] { session_->refreshScreen(); });
    quality_ = addMenuAction(tr("Quality"), QStringLiteral("slider.horizontal.3"),
                             tr("Image quality"), qualityMenu);
    quality_->setObjectName(QStringLiteral("qualityAction"));

    screenshot_ = addAction(symbolIcon(QStringLiteral("camera")), tr("Screenshot"));
    screenshot_->setObjectName(QStringLiteral("screenshotAction"));
    screenshot_->setToolTip(tr("Save a screenshot of the remote screen"));
    connect(screenshot_, &QAction::triggered, this, &SessionToolbar::screenshotRequested);

    disconnect_ = addAction(symbolIcon(QStringLiteral("xmark")), tr("Disconnect"));
    disconnect_->setObjectName(QStringLiteral("disconnectAction"));
    disconnect_->setToolTip(tr("Close this connection"));
    connect(disconnect_, &QAction::triggered, this, &SessionToolbar::closeRequested);

    for (QAction* action : actions()) {
        if (QWidget* button = widgetForAction(action)) {
            button->setFocusPolicy(Qt::NoFocus);
        }
    }

    for (auto signal : {&VNCSession::stateChanged, &VNCSession::optionsChanged,
                        &VNCSession::canTypePasswordChanged}) {
        connect(session, signal, this, &SessionToolbar::refresh);
    }
    // Of the frame only its presence matters here, which changes once, not with every frame.
    connect(session, &VNCSession::frameChanged, this, [this] {
        if (screenshot_->isEnabled() == session_->frame().isNull()) {
            refresh();
        }
    });
    refresh();
}

QAction* SessionToolbar::addMenuAction(const QString& text, const QString& symbol,
                                       const QString& toolTip, QMenu* menu) {
    QAction* action = addAction(symbolIcon(symbol), text);
    action->setToolTip(toolTip);
    action->setMenu(menu);
    if (auto* button = qobject_cast<QToolButton*>(widgetForAction(action))) {
        button->setPopupMode(QToolButton::InstantPopup);
    }
    return action;
}

void SessionToolbar::refresh() {
    if (!session_) {
        return;
    }
    const ConnectionOptions& options = session_->options();
    const bool connected = session_->state().kind == VNCSession::State::Kind::connected;

    const bool fit = options.scaling == ScalingMode::fit;
    scaling_->setText(fit ? tr("Actual Size") : tr("Scale to Fit"));
    scaling_->setIcon(symbolIcon(fit ? QStringLiteral("arrow.up.left.and.arrow.down.right")
                                     : QStringLiteral("arrow.down.right.and.arrow.up.left")));
    scaling_->setToolTip(fit ? tr("Show at actual size") : tr("Scale to fit the window"));

    observe_->setChecked(options.observeOnly);
    observe_->setIcon(
        symbolIcon(options.observeOnly ? QStringLiteral("eye.fill") : QStringLiteral("eye")));

    keyboard_->setEnabled(connected && !options.observeOnly);
    typePassword_->setEnabled(session_->canTypePassword());
    clipboard_->setEnabled(connected);
    shareClipboard_->setChecked(options.shareClipboard);
    for (QAction* item : qualities_->actions()) {
        item->setChecked(item->data().toInt() == int(options.quality));
    }
    screenshot_->setEnabled(!session_->frame().isNull());
}

}  // namespace tessaral
