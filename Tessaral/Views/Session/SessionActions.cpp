#include "SessionActions.hpp"

#include <QAction>
#include <QActionGroup>
#include <QMenu>

#include "RemoteShortcut.hpp"
#include "VNCSession.hpp"
#include "Views/Icons.hpp"

namespace tessaral {

namespace {

QMenu* menu(QWidget* window, const QString& title, const QString& symbol = {},
            const QString& toolTip = {}) {
    auto* menu = new QMenu(title, window);
    if (!symbol.isEmpty()) {
        menu->menuAction()->setIcon(symbolIcon(symbol));
    }
    menu->menuAction()->setToolTip(toolTip);
    return menu;
}

}  // namespace

SessionActions::SessionActions(QWidget* window) : QObject(window) {
    // Ctrl and Super together: the screen view never sends these to the remote computer.
    scaling_ = command({}, {}, QStringLiteral("Ctrl+Meta+0"), [this](VNCSession&) {
        changeOptions([](ConnectionOptions& options) {
            options.scaling =
                options.scaling == ScalingMode::fit ? ScalingMode::actualSize : ScalingMode::fit;
        });
    });
    observe_ = command(tr("Observe Mode"), {}, QStringLiteral("Ctrl+Meta+O"), {});
    observe_->setIconText(tr("Observe"));
    observe_->setToolTip(
        tr("Observe mode: view the screen without sending keyboard or mouse input"));
    observe_->setCheckable(true);
    // A check mark says more in a menu than the eye does.
    observe_->setIconVisibleInMenu(false);
    connect(observe_, &QAction::triggered, this, [this](bool on) {
        changeOptions([on](ConnectionOptions& options) { options.observeOnly = on; });
    });

    resizeRemote_ = command(tr("Resize Remote to Fit Window"), {}, {}, {});
    resizeRemote_->setCheckable(true);
    connect(resizeRemote_, &QAction::triggered, this, [this](bool on) {
        changeOptions([on](ConnectionOptions& options) { options.resizeRemote = on; });
    });

    fullScreen_ = command(tr("Enter Full Screen"), {}, QStringLiteral("Ctrl+Meta+F"), {});
    fullScreen_->setCheckable(true);
    connect(fullScreen_, &QAction::toggled, this, [this](bool on) {
        fullScreen_->setText(on ? tr("Exit Full Screen") : tr("Enter Full Screen"));
    });

    qualities_ = new QActionGroup(this);
    for (rfb::RFBQuality quality : rfb::allQualities) {
        const auto name = rfb::title(quality);
        QAction* item = command(
            QString::fromUtf8(name.data(), qsizetype(name.size())), {}, {},
            [this, quality](VNCSession&) {
                changeOptions([quality](ConnectionOptions& options) { options.quality = quality; });
            });
        item->setCheckable(true);
        item->setData(int(quality));
        qualities_->addAction(item);
    }
    refresh_ = command(tr("Refresh Screen"), QStringLiteral("arrow.clockwise"),
                       QStringLiteral("Ctrl+Meta+R"), &VNCSession::refreshScreen);

    sendClipboard_ = command(tr("Send Clipboard"), QStringLiteral("arrow.up.doc.on.clipboard"),
                             QStringLiteral("Ctrl+Meta+V"), &VNCSession::sendClipboard);
    getClipboard_ = command(tr("Get Clipboard"), QStringLiteral("arrow.down.doc.on.clipboard"),
                            QStringLiteral("Ctrl+Meta+C"), &VNCSession::getClipboard);
    shareClipboard_ = command(tr("Share Clipboard Automatically"), {}, {}, {});
    shareClipboard_->setCheckable(true);
    connect(shareClipboard_, &QAction::triggered, this, [this](bool on) {
        changeOptions([on](ConnectionOptions& options) { options.shareClipboard = on; });
    });

    for (RemoteShortcut shortcut : allRemoteShortcuts) {
        sendKeys_.append(command(title(shortcut), iconName(shortcut), {},
                                 [shortcut](VNCSession& session) { session.send(shortcut); }));
    }
    typeText_ = command(tr("Type Text…"), QStringLiteral("character.cursor.ibeam"), {}, {});
    typePassword_ = command(tr("Type User Password"), QStringLiteral("key"),
                            QStringLiteral("Ctrl+Meta+P"), &VNCSession::typePassword);

    screenshot_ = command(tr("Save Screenshot…"), QStringLiteral("camera"),
                          QStringLiteral("Ctrl+Meta+S"), {});
    screenshot_->setIconText(tr("Screenshot"));
    screenshot_->setToolTip(tr("Save a screenshot of the remote screen"));
    reconnect_ = command(tr("Reconnect"), {}, {}, &VNCSession::connect);
    disconnect_ = command(tr("Disconnect"), QStringLiteral("xmark"), {}, {});
    disconnect_->setToolTip(tr("Close this connection"));

    keyboardMenu_ =
        menu(window, tr("Keyboard"), QStringLiteral("command"), tr("Send keyboard shortcuts"));
    keyboardMenu_->addActions(sendKeys_);
    keyboardMenu_->addSeparator();
    keyboardMenu_->addActions({typeText_, typePassword_});
    clipboardMenu_ =
        menu(window, tr("Clipboard"), QStringLiteral("doc.on.clipboard"), tr("Clipboard"));
    clipboardMenu_->addActions({sendClipboard_, getClipboard_});
    clipboardMenu_->addSeparator();
    clipboardMenu_->addAction(shareClipboard_);
    qualityMenu_ =
        menu(window, tr("Quality"), QStringLiteral("slider.horizontal.3"), tr("Image quality"));
    qualityMenu_->addActions(qualities_->actions());
    qualityMenu_->addSeparator();
    qualityMenu_->addAction(refresh_);
    qualitySubmenu_ = menu(window, tr("Quality"));
    qualitySubmenu_->addActions(qualities_->actions());
    sendKeysSubmenu_ = menu(window, tr("Send Keys"));
    sendKeysSubmenu_->addActions(sendKeys_);
    update();
}

QAction* SessionActions::command(const QString& text, const QString& symbol, const QString& keys,
                                 std::function<void(VNCSession&)> run) {
    auto* action = new QAction(text, this);
    if (!symbol.isEmpty()) {
        action->setIcon(symbolIcon(symbol));
    }
    if (!keys.isEmpty()) {
        action->setShortcut(QKeySequence(keys));
    }
    if (run) {
        connect(action, &QAction::triggered, this, [this, run = std::move(run)] {
            if (session_) {
                run(*session_);
            }
        });
    }
    return action;
}

void SessionActions::setSession(VNCSession* session) {
    if (session_) {
        QObject::disconnect(session_, nullptr, this, nullptr);
    }
    session_ = session;
    if (session) {
        for (auto signal : {&VNCSession::stateChanged, &VNCSession::optionsChanged,
                            &VNCSession::canTypePasswordChanged, &VNCSession::scalingChanged}) {
            connect(session, signal, this, &SessionActions::update);
        }
        // Of the frame only its presence matters here, which changes once, not with every frame.
        connect(session, &VNCSession::frameChanged, this, [this] {
            if (screenshot_->isEnabled() == session_->frameSize().isEmpty()) {
                update();
            }
        });
    }
    update();
}

// Every option change assigns a whole new record, so the session sees what changed.
void SessionActions::changeOptions(const std::function<void(ConnectionOptions&)>& change) {
    if (session_) {
        ConnectionOptions options = session_->options();
        change(options);
        session_->setOptions(options);
    }
}

void SessionActions::update() {
    VNCSession* session = session_;
    const bool connected = session && session->state().kind == VNCSession::State::Kind::connected;
    const bool typing = connected && !session->options().observeOnly;
    const bool fit = !session || session->options().scaling == ScalingMode::fit;
    const bool observing = session && session->options().observeOnly;

    scaling_->setText(fit ? tr("Actual Size") : tr("Scale to Fit"));
    scaling_->setIcon(symbolIcon(fit ? QStringLiteral("arrow.up.left.and.arrow.down.right")
                                     : QStringLiteral("arrow.down.right.and.arrow.up.left")));
    scaling_->setToolTip(fit ? tr("Show at actual size") : tr("Scale to fit the window"));
    observe_->setChecked(observing);
    observe_->setIcon(symbolIcon(observing ? QStringLiteral("eye.fill") : QStringLiteral("eye")));
    for (QAction* item : qualities_->actions()) {
        item->setChecked(session && item->data().toInt() == int(session->options().quality));
    }
    shareClipboard_->setChecked(session && session->options().shareClipboard);
    resizeRemote_->setChecked(session && session->options().resizeRemote);

    for (QAction* action :
         {scaling_, observe_, qualityMenu_->menuAction(), qualitySubmenu_->menuAction(),
          shareClipboard_, resizeRemote_, fullScreen_, disconnect_}) {
        action->setEnabled(session);
    }
    // A screen that takes the window's size has nothing to scale.
    scaling_->setEnabled(session && !session->remoteFollowsWindow());
    for (QAction* action :
         {refresh_, sendClipboard_, getClipboard_, clipboardMenu_->menuAction()}) {
        action->setEnabled(connected);
    }
    for (QAction* action : sendKeys_ + QList{typeText_, keyboardMenu_->menuAction(),
                                             sendKeysSubmenu_->menuAction()}) {
        action->setEnabled(typing);
    }
    for (QAction* quality : qualities_->actions()) {
        quality->setEnabled(session);
    }
    typePassword_->setEnabled(session && session->canTypePassword());
    screenshot_->setEnabled(session && !session->frameSize().isEmpty());
    reconnect_->setEnabled(session && !connected);
}

}  // namespace tessaral
