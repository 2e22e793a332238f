#include "SessionWindow.hpp"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QVBoxLayout>

#include "ConnectionMenu.hpp"
#include "CredentialsSheet.hpp"
#include "SessionContentView.hpp"
#include "SessionToolbar.hpp"
#include "State/AppState.hpp"
#include "TypeTextSheet.hpp"
#include "VNCSession.hpp"
#include "Views/FileDialog.hpp"
#include "Views/Icons.hpp"

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

SessionWindow::SessionWindow(ConnectionStore& store, AppState& appState, KeychainService& keychain,
                             LocalClipboard& clipboard, std::optional<QUuid> connectionID,
                             QWidget* parent)
    : QMainWindow(parent),
      store_(store),
      appState_(appState),
      keychain_(keychain),
      clipboard_(clipboard),
      connectionID_(connectionID) {
    setObjectName(QStringLiteral("sessionWindow"));
    setMinimumSize(480, 320);
    resize(1280, 800);
    setWindowTitle(tr("Connection"));
    buildMenus();
    setCentralWidget(notFoundView());
}

SessionWindow::~SessionWindow() = default;

VNCSession* SessionWindow::session() const {
    return session_;
}

CredentialsSheet* SessionWindow::credentialsSheet() const {
    return credentials_;
}

void SessionWindow::buildMenus() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    QAction* close = file->addAction(tr("Close Window"), this, &QWidget::close);
    close->setShortcut(QKeySequence(QStringLiteral("Ctrl+W")));
    file->addSeparator();
    QAction* quit = file->addAction(tr("Quit"), qApp, &QApplication::closeAllWindows);
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    quit->setMenuRole(QAction::QuitRole);

    QMenu* edit = menuBar()->addMenu(tr("&Edit"));
    // The settings window is not part of this program yet.
    QAction* preferences = edit->addAction(tr("Preferences…"));
    preferences->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    preferences->setEnabled(false);

    connectionMenu_ = new ConnectionMenu(this);
    menuBar()->addMenu(connectionMenu_);
    connect(connectionMenu_, &ConnectionMenu::screenshotRequested, this,
            &SessionWindow::saveScreenshot);

    QMenu* windows = menuBar()->addMenu(tr("&Window"));
    connect(windows, &QMenu::aboutToShow, this, [this, windows] {
        windows->clear();
        windows->addAction(tr("Minimize"), this, &QWidget::showMinimized);
        windows->addSeparator();
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* window = qobject_cast<SessionWindow*>(widget);
            if (!window || !window->isVisible()) {
                continue;
            }
            QAction* item = windows->addAction(window->windowTitle(), window, [window] {
                window->showNormal();
                window->raise();
                window->activateWindow();
            });
            item->setCheckable(true);
            item->setChecked(window == this);
        }
    });

    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("About Tessaral"), this, [this] {
        QMessageBox::about(this, tr("About Tessaral"),
                           tr("Tessaral %1\nA client for remote screens (VNC and Screen Sharing).")
                               .arg(QApplication::applicationVersion()));
    });
}

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
    session_ = new VNCSession(*connection, store_, keychain_, clipboard_,
                              appState_.takePendingCredentials(*connectionID_), this);

    content_ = new SessionContentView(session_);
    setCentralWidget(content_);
    toolbar_ = new SessionToolbar(session_, this);
    addToolBar(Qt::TopToolBarArea, toolbar_);
    connectionMenu_->setSession(session_);

    connect(content_, &SessionContentView::closeRequested, this, &QWidget::close);
    connect(toolbar_, &SessionToolbar::closeRequested, this, &QWidget::close);
    connect(toolbar_, &SessionToolbar::screenshotRequested, this, &SessionWindow::saveScreenshot);
    connect(toolbar_, &SessionToolbar::typeTextRequested, this, &SessionWindow::showTypeText);
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
    const VNCSession::State& state = session_->state();
    if (state.kind != VNCSession::State::Kind::needsCredentials) {
        closeCredentialsSheet();
        return;
    }
    if (credentials_ && credentials_->kind() == state.credentialKind &&
        credentials_->isRetry() == state.retry) {
        return;
    }
    closeCredentialsSheet();
    credentials_ =
        new CredentialsSheet(session_->connection(), state.credentialKind, state.retry, this);
    credentials_->setAttribute(Qt::WA_DeleteOnClose);
    connect(credentials_, &CredentialsSheet::submitted, this,
            [this](const QString& username, const QString& password, bool remember) {
                closeCredentialsSheet();
                session_->provideCredentials(username, password, remember);
            });
    connect(credentials_, &QDialog::rejected, this, &QWidget::close);
    credentials_->open();
}

void SessionWindow::closeCredentialsSheet() {
    if (!credentials_) {
        return;
    }
    CredentialsSheet* sheet = credentials_;
    credentials_ = nullptr;
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
    if (!session_ || session_->frame().isNull()) {
        return;
    }
    // The screen as it was when asked, not when the dialog closes.
    const QImage frame = session_->frame().copy();
    const QString fileName = FileDialog::getSavePngFileName(
        this, tr("Save Screenshot"), session_->screenshotFileName(QDateTime::currentDateTimeUtc()));
    if (!fileName.isEmpty()) {
        VNCSession::writeScreenshot(frame, fileName);
    }
}

void SessionWindow::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    if (closed_) {
        return;
    }
    closed_ = true;
    closeCredentialsSheet();
    if (session_) {
        session_->disconnect();
    }
    if (connectionID_) {
        store_.removeActiveSession(*connectionID_);
    }
}

}  // namespace tessaral
