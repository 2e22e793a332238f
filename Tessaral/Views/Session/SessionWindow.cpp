#include "SessionWindow.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include "ConnectionMenu.hpp"
#include "CredentialsSheet.hpp"
#include "FrameImage.hpp"
#include "FullScreenBar.hpp"
#include "GatewayPromptSheet.hpp"
#include "Model/AppSettings.hpp"
#include "ProtectionBadge.hpp"
#include "SessionActions.hpp"
#include "SessionContentView.hpp"
#include "SessionToolbar.hpp"
#include "State/AppState.hpp"
#include "TrustSheet.hpp"
#include "TypeTextSheet.hpp"
#include "VNCSession.hpp"
#include "Views/FileDialog.hpp"
#include "Views/Icons.hpp"
#include "WaylandShortcutsInhibitor.hpp"

namespace tessaral {

namespace {

QWidget* notFoundView() {
    auto* view = new QWidget;
    view->setObjectName(QStringLiteral("connectionNotFound"));
    view->setMinimumSize(480, 300);
    auto* icon = new QLabel;
    icon->setPixmap(symbolIcon(QStringLiteral("questionmark.square.dashed"))
                        .pixmap(QSize(48, 48), view->devicePixelRatioF()));
    auto* title = new QLabel(SessionWindow::tr("Connection Not Found"));
    title->setObjectName(QStringLiteral("emptyStateTitle"));
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setWeight(QFont::DemiBold);
    title->setFont(font);
    auto* text = new QLabel(SessionWindow::tr("This computer is no longer in your library."));
    text->setObjectName(QStringLiteral("emptyStateMessage"));
    auto* layout = new QVBoxLayout(view);
    layout->addStretch();
    for (QLabel* label : {icon, title, text}) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
    }
    layout->addStretch();
    return view;
}

}  // namespace

SessionWindow::SessionWindow(ConnectionStore& store, IdentityStore& identities, AppState& appState,
                             KeychainService& keychain, LocalClipboard& clipboard,
                             std::optional<QUuid> connectionID, QWidget* parent)
    : QMainWindow(parent),
      store_(store),
      identities_(identities),
      appState_(appState),
      keychain_(keychain),
      clipboard_(clipboard),
      connectionID_(connectionID),
      actions_(new SessionActions(this)),
      connectionMenu_(new ConnectionMenu(*actions_, this)) {
    setObjectName(QStringLiteral("sessionWindow"));
    setMinimumSize(480, 320);
    resize(1280, 800);
    setWindowTitle(tr("Connection"));
    setCentralWidget(notFoundView());
    connect(actions_->screenshot(), &QAction::triggered, this, &SessionWindow::saveScreenshot);
    connect(actions_->typeText(), &QAction::triggered, this, &SessionWindow::showTypeText);
    connect(actions_->disconnect(), &QAction::triggered, this, &QWidget::close);
    connect(actions_->fullScreen(), &QAction::toggled, this, &SessionWindow::setFullScreen);
    // The menu bar hides in full screen, and hidden menus fire no shortcuts: the window carries
    // them itself.
    addActions(connectionMenu_->actions());
    for (QAction* action : actions()) {
        action->installEventFilter(this);
    }
    connect(&AppSettings::instance(), &AppSettings::changed, this, [this](const QString& key) {
        if (key == AppSettings::captureSystemKeysKey) {
            updateCapture();
        }
    });
}

SessionWindow::~SessionWindow() = default;

void SessionWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!session_ && connectionID_) {
        start();
    }
}

void SessionWindow::start() {
    const std::optional<Connection> connection = store_.connection(*connectionID_);
    if (!connection) {
        return;
    }
    session_ = new VNCSession(*connection, store_, identities_, keychain_, clipboard_,
                              appState_.takePendingCredentials(*connectionID_), this);

    content_ = new SessionContentView(session_);
    setCentralWidget(content_);
    toolbar_ = new SessionToolbar(*actions_, this);
    toolbar_->addStatus(new ProtectionBadge(session_));
    addToolBar(Qt::TopToolBarArea, toolbar_);
    fullScreenBar_ = new FullScreenBar(session_, actions_->fullScreen(), this);
    actions_->setSession(session_);

    connect(content_, &SessionContentView::closeRequested, this, &QWidget::close);
    connect(session_, &VNCSession::statusTextChanged, this, &SessionWindow::updateTitle);
    connect(session_, &VNCSession::stateChanged, this, &SessionWindow::stateChanged);
    connect(session_, &VNCSession::bell, this, [] { QApplication::beep(); });
    updateTitle();
    content_->setFocus();
    session_->connect();
}

void SessionWindow::updateTitle() {
    if (session_) {
        setWindowTitle(session_->connection().name + QStringLiteral(" — ") +
                       session_->statusText());
    }
}

void SessionWindow::stateChanged() {
    closeSheet();
    const VNCSession::State& state = session_->state();
    if (state.kind == VNCSession::State::Kind::needsCredentials) {
        auto* sheet =
            new CredentialsSheet(session_->connection(), state.credentialKind, state.retry, this);
        connect(sheet, &CredentialsSheet::submitted, this,
                [this](const QString& username, const QString& password, bool remember) {
                    closeSheet();
                    session_->provideCredentials(username, password, remember);
                });
        present(sheet);
    } else if (state.kind == VNCSession::State::Kind::needsTrust) {
        auto* sheet =
            new TrustSheet(session_->connection(), *state.identity, state.replacedIdentity, this);
        connect(sheet, &TrustSheet::trusted, this, [this] {
            closeSheet();
            session_->trustIdentity();
        });
        present(sheet);
    } else if (state.kind == VNCSession::State::Kind::needsGatewayAnswer) {
        auto* sheet = new GatewayPromptSheet(session_->connection(), *state.prompt, this);
        connect(sheet, &GatewayPromptSheet::answered, this, [this](const QString& answer) {
            closeSheet();
            session_->answerGateway(answer);
        });
        present(sheet);
    }
}

void SessionWindow::present(QDialog* sheet) {
    sheet_ = sheet;
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    // Declining ends the attempt, and with it the window.
    connect(sheet, &QDialog::rejected, this, &QWidget::close);
    sheet->open();
}

void SessionWindow::closeSheet() {
    if (!sheet_) {
        return;
    }
    QDialog* sheet = sheet_;
    sheet_ = nullptr;
    QObject::disconnect(sheet, nullptr, this, nullptr);
    sheet->close();
}

void SessionWindow::showTypeText() {
    auto* sheet = new TypeTextSheet(this);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(sheet, &TypeTextSheet::send, this, [this](const QString& text) {
        if (session_) {
            session_->typeText(text);
        }
    });
    sheet->open();
}

void SessionWindow::saveScreenshot() {
    // The screen as it was when asked, not when the dialog closes.
    const QImage frame = session_ ? session_->copyFrame() : QImage();
    if (frame.isNull()) {
        return;
    }
    FileDialog::askForPngFileName(
        this, tr("Save Screenshot"),
        screenshotFileName(session_->connection().name, QDateTime::currentDateTimeUtc()),
        [frame](const QString& fileName) { writePng(frame, fileName); });
}

void SessionWindow::setFullScreen(bool on) {
    if (on == isFullScreen()) {
        return;
    }
    if (on) {
        if (QScreen* here = QGuiApplication::screenAt(frameGeometry().center());
            here && windowHandle()) {
            windowHandle()->setScreen(here);
        }
        setWindowState(windowState() | Qt::WindowFullScreen);
    } else {
        setWindowState(windowState() & ~Qt::WindowFullScreen);
    }
}

void SessionWindow::fullScreenChanged() {
    const bool full = isFullScreen();
    actions_->fullScreen()->setChecked(full);
    if (toolbar_) {
        toolbar_->setVisible(!full);
    }
    if (QWidget* bar = menuWidget()) {
        bar->setVisible(!full);
    }
    if (fullScreenBar_) {
        fullScreenBar_->hide();
        // Every pointer move, whichever widget or OpenGL window it goes to.
        if (full) {
            qApp->installEventFilter(this);
        } else {
            qApp->removeEventFilter(this);
        }
    }
}

void SessionWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        fullScreenChanged();
        updateCapture();
    } else if (event->type() == QEvent::ActivationChange) {
        updateCapture();
    }
}

bool SessionWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Shortcut && !handlingShortcut_) {
        // Released before the command runs, so that a sheet it opens gets the keyboard; taken
        // again afterwards if the window still has the focus.
        handlingShortcut_ = true;
        updateCapture();
        QTimer::singleShot(0, this, [this] {
            handlingShortcut_ = false;
            updateCapture();
        });
    } else if (event->type() == QEvent::MouseMove && fullScreenBar_) {
        const QPointF global = static_cast<QMouseEvent*>(event)->globalPosition();
        fullScreenBar_->pointerMoved(int(global.y()) - geometry().top());
    }
    return QMainWindow::eventFilter(watched, event);
}

void SessionWindow::updateCapture() {
    const CaptureState state{.fullScreen = isFullScreen(),
                             .active = session_ && isActiveWindow(),
                             .capturePreference = AppSettings::captureSystemKeys(),
                             .handlingLocalShortcut = handlingShortcut_};
    const std::optional<bool> grab = capture_.update(state);
    if (!grab || !windowHandle()) {
        return;
    }
    // Qt's Wayland platform refuses keyboard grabs: the compositor is asked instead, if it
    // offers the protocol for it. On xcb this is an X keyboard grab on the window.
    if (WaylandShortcutsInhibitor::onWayland()) {
        if (!inhibitor_) {
            inhibitor_ = std::make_unique<WaylandShortcutsInhibitor>();
        }
        if (*grab) {
            inhibitor_->inhibit(windowHandle());
        } else {
            inhibitor_->release();
        }
    } else {
        windowHandle()->setKeyboardGrabEnabled(*grab);
    }
}

void SessionWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (closed_) {
        return;
    }
    closed_ = true;
    closeSheet();
    if (session_) {
        session_->disconnect();
    }
    if (connectionID_) {
        store_.removeActiveSession(*connectionID_);
    }
}

}  // namespace tessaral
