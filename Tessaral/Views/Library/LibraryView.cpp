#include "LibraryView.hpp"

#include <QButtonGroup>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>

#include "ConnectionEditor.hpp"
#include "ConnectionGridView.hpp"
#include "ConnectionListModel.hpp"
#include "ConnectionTableView.hpp"
#include "EmptyStateView.hpp"
#include "LibrarySidebar.hpp"
#include "Model/AppSettings.hpp"
#include "Model/ConnectionStore.hpp"
#include "NearbyView.hpp"
#include "QuickConnectSheet.hpp"
#include "RFBError.hpp"
#include "State/AppState.hpp"
#include "Views/AppCommands.hpp"
#include "Views/FileDialog.hpp"
#include "Views/Icons.hpp"
#include "Views/MessageBox.hpp"
#include "Views/Session/ConnectionMenu.hpp"
#include "Views/Session/SessionActions.hpp"

namespace tessaral {

LibraryView::LibraryView(ConnectionStore& store, AppState& appState, BonjourBrowser& browser,
                         KeychainService& keychain, OpenSession openSession, QWidget* parent)
    : QMainWindow(parent),
      store_(store),
      appState_(appState),
      browser_(browser),
      keychain_(keychain),
      openSession_(std::move(openSession)),
      model_(new ConnectionListModel(store, this)),
      sidebar_(new LibrarySidebar(store, browser)),
      detail_(new QStackedWidget) {
    setObjectName(QStringLiteral("library"));
    setMinimumSize(720, 440);
    resize(1040, 680);

    actions_.connect = [this](const Connection& connection) { openSession_(connection.id); };
    actions_.edit = [this](const Connection& connection) {
        appState_.setEditorRequest(AppState::EditorRequest{connection, false});
    };
    actions_.duplicate = [this](const Connection& connection) { duplicate(connection); };
    actions_.remove = [this](const QSet<QUuid>& ids) { requestDeletion(ids); };
    actions_.move = [this](const QSet<QUuid>& ids, std::optional<QUuid> groupID) {
        store_.move(ids, groupID);
    };

    grid_ = new ConnectionGridView(store_, *model_, actions_);
    table_ = new ConnectionTableView(store_, *model_, actions_);
    nearby_ = new NearbyView(
        browser_, [this](const BonjourBrowser::Service& service) { connectNearby(service); },
        [this](const BonjourBrowser::Service& service) { saveNearby(service); });
    empty_ = new EmptyStateView;
    for (QWidget* page : {static_cast<QWidget*>(grid_), static_cast<QWidget*>(table_),
                          static_cast<QWidget*>(nearby_), static_cast<QWidget*>(empty_)}) {
        detail_->addWidget(page);
    }

    auto* splitter = new QSplitter;
    splitter->setObjectName(QStringLiteral("librarySplitter"));
    splitter->setChildrenCollapsible(false);
    sidebar_->setMinimumWidth(190);
    sidebar_->setMaximumWidth(300);
    splitter->addWidget(sidebar_);
    splitter->addWidget(detail_);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 820});
    setCentralWidget(splitter);
    buildToolbar();

    // Only the view on show speaks for the selection; the other one is brought in line when it
    // is shown.
    connect(grid_, &ConnectionGridView::selectedIDsChanged, this, [this](const QSet<QUuid>& ids) {
        if (detail_->currentWidget() == grid_) {
            selectionChanged(ids);
        }
    });
    connect(table_, &ConnectionTableView::selectedIDsChanged, this, [this](const QSet<QUuid>& ids) {
        if (detail_->currentWidget() == table_) {
            selectionChanged(ids);
        }
    });
    connect(sidebar_, &LibrarySidebar::selectionChanged, this, &LibraryView::scopeChanged);
    connect(&store_, &ConnectionStore::connectionsChanged, this, &LibraryView::reload);
    connect(&store_, &ConnectionStore::groupsChanged, this, &LibraryView::updateTitle);
    connect(&browser_, &BonjourBrowser::servicesChanged, this, &LibraryView::updateTitle);
    connect(&AppSettings::instance(), &AppSettings::changed, this, [this](const QString& key) {
        if (key == AppSettings::libraryLayoutKey) {
            layoutChanged();
        } else if (key == AppSettings::showNearbyKey && browsingStarted_) {
            updateBrowsing();
        }
    });
    connect(&appState_, &AppState::alertChanged, this, &LibraryView::showAlert);
    connect(&appState_, &AppState::showImporterChanged, this, [this](bool show) {
        if (show) {
            importLibrary();
        }
    });
    connect(&appState_, &AppState::showExporterChanged, this, [this](bool show) {
        if (show) {
            exportLibrary();
        }
    });
    connect(&appState_, &AppState::editorRequestChanged, this, &LibraryView::presentEditor);
    connect(&appState_, &AppState::showQuickConnectChanged, this,
            &LibraryView::presentQuickConnect);
    layoutChanged();
}

LibraryView::~LibraryView() = default;

void LibraryView::buildToolbar() {
    QToolBar* toolbar = addToolBar(tr("Toolbar"));
    toolbar->setObjectName(QStringLiteral("libraryToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    toolbar->setIconSize(QSize(18, 18));
    toolbar->setToolButtonStyle(Qt::ToolButtonIconOnly);

    // The view picker: two buttons that read as one control.
    auto* picker = new QWidget;
    picker->setObjectName(QStringLiteral("viewPicker"));
    picker->setToolTip(tr("Display computers as a grid or list"));
    picker->setAccessibleName(tr("View"));
    auto* pickerLayout = new QHBoxLayout(picker);
    pickerLayout->setContentsMargins(0, 0, 0, 0);
    pickerLayout->setSpacing(0);
    auto* choices = new QButtonGroup(picker);
    gridButton_ = new QToolButton;
    gridButton_->setObjectName(QStringLiteral("gridButton"));
    gridButton_->setIcon(symbolIcon(QStringLiteral("square.grid.2x2")));
    gridButton_->setText(tr("Grid"));
    listButton_ = new QToolButton;
    listButton_->setObjectName(QStringLiteral("listButton"));
    listButton_->setIcon(symbolIcon(QStringLiteral("list.bullet")));
    listButton_->setText(tr("List"));
    for (QToolButton* button : {gridButton_, listButton_}) {
        button->setCheckable(true);
        button->setAutoRaise(true);
        button->setToolTip(picker->toolTip());
        choices->addButton(button);
        pickerLayout->addWidget(button);
    }
    connect(gridButton_, &QToolButton::clicked, this,
            [] { AppSettings::setLibraryLayout(LibraryLayout::grid); });
    connect(listButton_, &QToolButton::clicked, this,
            [] { AppSettings::setLibraryLayout(LibraryLayout::list); });
    toolbar->addWidget(picker);
    toolbar->addSeparator();

    QAction* quickConnect =
        toolbar->addAction(symbolIcon(QStringLiteral("bolt")), tr("Quick Connect"), this,
                           [this] { appState_.setShowQuickConnect(true); });
    quickConnect->setObjectName(QStringLiteral("quickConnectAction"));
    quickConnect->setToolTip(tr("Connect to an address without saving it"));
    QAction* newConnection =
        toolbar->addAction(symbolIcon(QStringLiteral("plus")), tr("New Connection"), this, [this] {
            const std::optional<SidebarItem>& scope = sidebar_->selection();
            appState_.newConnection(scope && scope->kind == SidebarItem::Kind::group
                                        ? std::optional<QUuid>(scope->groupID)
                                        : std::nullopt);
        });
    newConnection->setObjectName(QStringLiteral("newConnectionAction"));
    newConnection->setToolTip(tr("Add a computer to your library"));
    refreshAction_ = toolbar->addAction(symbolIcon(QStringLiteral("arrow.clockwise")),
                                        tr("Refresh"), &browser_, &BonjourBrowser::restart);
    refreshAction_->setObjectName(QStringLiteral("refreshAction"));
    refreshAction_->setToolTip(tr("Search the network again"));

    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    search_ = new QLineEdit;
    search_->setObjectName(QStringLiteral("searchField"));
    search_->setPlaceholderText(tr("Search"));
    search_->setClearButtonEnabled(true);
    search_->addAction(symbolIcon(QStringLiteral("magnifyingglass")), QLineEdit::LeadingPosition);
    search_->setMaximumWidth(260);
    search_->setMinimumWidth(160);
    toolbar->addWidget(search_);
    connect(search_, &QLineEdit::textChanged, this, [this](const QString& text) {
        nearby_->setSearchText(text);
        reload();
    });
}

void LibraryView::installCommands(AppCommands& commands) {
    connectionMenu_ = new ConnectionMenu(*new SessionActions(this), this);
    deleteAction_ = commands.install(this, connectionMenu_);
    deleteAction_->setEnabled(!selection_.isEmpty());
    connect(deleteAction_, &QAction::triggered, this, [this] { requestDeletion(selection_); });
}

QList<Connection> LibraryView::shownConnections() const {
    return LibraryScope::filtered(LibraryScope::scoped(store_, sidebar_->selection()),
                                  search_->text());
}

void LibraryView::reload() {
    const std::optional<SidebarItem>& scope = sidebar_->selection();
    const bool nearby = scope && scope->kind == SidebarItem::Kind::nearby;
    refreshAction_->setVisible(nearby);
    if (nearby) {
        model_->setConnections({});
        detail_->setCurrentWidget(nearby_);
    } else {
        const QList<Connection> shown = shownConnections();
        model_->setConnections(shown);
        if (shown.isEmpty()) {
            showEmptyState();
        } else if (AppSettings::libraryLayout() == LibraryLayout::list) {
            detail_->setCurrentWidget(table_);
        } else {
            detail_->setCurrentWidget(grid_);
        }
    }
    updateTitle();
}

void LibraryView::updateTitle() {
    const std::optional<SidebarItem>& scope = sidebar_->selection();
    const qsizetype count = scope && scope->kind == SidebarItem::Kind::nearby
                                ? nearby_->shownServices().size()
                                : model_->rowCount();
    setWindowTitle(LibraryScope::title(store_, scope) + QStringLiteral(" — ") +
                   LibraryScope::countText(count));
}

void LibraryView::showEmptyState() {
    const std::optional<SidebarItem>& scope = sidebar_->selection();
    const SidebarItem::Kind kind = scope ? scope->kind : SidebarItem::Kind::all;
    const std::optional<QUuid> group =
        kind == SidebarItem::Kind::group ? std::optional<QUuid>(scope->groupID) : std::nullopt;
    const QString search = trimmedSpacesAndTabs(search_->text()).toString();
    if (!search.isEmpty()) {
        empty_->present(QStringLiteral("magnifyingglass"), tr("No Results for “%1”").arg(search),
                        tr("Check the spelling or try a new search."));
    } else if (kind == SidebarItem::Kind::recents) {
        empty_->present(QStringLiteral("clock"), tr("No Recent Connections"),
                        tr("Computers you connect to will appear here."));
    } else if (kind == SidebarItem::Kind::links) {
        empty_->present(QStringLiteral("link"), tr("No Links"),
                        tr("Connections opened from vnc:// links or Quick Connect appear here "
                           "automatically."));
    } else if (group) {
        empty_->present(QStringLiteral("folder"), tr("Empty Group"),
                        tr("Drag computers here, or use Move to Group in a computer’s context "
                           "menu."));
        connect(empty_->addButton(tr("New Connection…")), &QPushButton::clicked, this,
                [this, group] { appState_.newConnection(group); });
    } else {
        empty_->present(QStringLiteral("display.2"), tr("Connect to Your Computers"),
                        tr("Add a Mac, PC or Linux computer that has screen sharing (VNC) turned "
                           "on, or pick one from Nearby."));
        connect(empty_->addButton(tr("New Connection…"), true), &QPushButton::clicked, this,
                [this, group] { appState_.newConnection(group); });
        connect(empty_->addButton(tr("Quick Connect…")), &QPushButton::clicked, this,
                [this] { appState_.setShowQuickConnect(true); });
    }
    detail_->setCurrentWidget(empty_);
}

void LibraryView::layoutChanged() {
    const bool list = AppSettings::libraryLayout() == LibraryLayout::list;
    gridButton_->setChecked(!list);
    listButton_->setChecked(list);
    reload();
    // The other view takes over the selection.
    const QSet<QUuid> selection = selection_;
    if (list) {
        table_->setSelectedIDs(selection);
    } else {
        grid_->setSelectedIDs(selection);
    }
}

void LibraryView::scopeChanged() {
    grid_->clearSelection();
    table_->clearSelection();
    selectionChanged({});
    reload();
}

void LibraryView::selectionChanged(const QSet<QUuid>& ids) {
    selection_ = ids;
    if (deleteAction_) {
        deleteAction_->setEnabled(!selection_.isEmpty());
    }
}

void LibraryView::setSelection(const QSet<QUuid>& ids) {
    if (AppSettings::libraryLayout() == LibraryLayout::list) {
        table_->setSelectedIDs(ids);
        selectionChanged(table_->selectedIDs());
    } else {
        grid_->setSelectedIDs(ids);
        selectionChanged(grid_->selectedIDs());
    }
}

void LibraryView::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!browsingStarted_) {
        browsingStarted_ = true;
        updateBrowsing();
    }
}

void LibraryView::closeEvent(QCloseEvent* event) {
    QMainWindow::closeEvent(event);
    // Reopened, the window starts afresh: a search or scope left from before would seem to have
    // lost computers.
    search_->clear();
    sidebar_->setSelection(SidebarItem{});
    setSelection({});
}

void LibraryView::updateBrowsing() {
    if (AppSettings::showNearby()) {
        browser_.start();
    } else {
        browser_.stop();
    }
}

// ---- Actions ------------------------------------------------------------------------------

void LibraryView::handle(const QString& url) {
    rfb::VNCAddress address;
    try {
        address = rfb::VNCAddress::parse(url.toStdString());
    } catch (const rfb::RFBError& error) {
        appState_.setAlert(AppState::AppAlert{tr("Can’t Open Link"),
                                              QString::fromStdString(error.errorDescription())});
        return;
    }
    connectTo(address);
}

void LibraryView::connectTo(const rfb::VNCAddress& address) {
    const Connection connection = store_.connectionFor(address);
    if (address.password) {
        appState_.setPendingCredentials(
            connection.id,
            rfb::RFBCredentials{address.username.value_or(std::string()), *address.password});
    }
    openSession_(connection.id);
}

void LibraryView::connectNearby(const BonjourBrowser::Service& service) {
    for (const Connection& connection : store_.connections()) {
        if (connection.bonjourServiceName == service.name) {
            openSession_(connection.id);
            return;
        }
    }
    const Connection connection = Connection::fromNearbyService(service.name);
    store_.registerTransient(connection);
    openSession_(connection.id);
}

void LibraryView::saveNearby(const BonjourBrowser::Service& service) {
    appState_.setEditorRequest(
        AppState::EditorRequest{Connection::fromNearbyService(service.name), true});
}

void LibraryView::duplicate(const Connection& connection) {
    setSelection({store_.duplicate(connection).id});
}

void LibraryView::requestDeletion(const QSet<QUuid>& ids) {
    if (ids.isEmpty()) {
        return;
    }
    const bool confirmed = MessageBox::confirmDestructive(
        this, LibraryScope::deletionTitle(store_, ids),
        tr("Saved passwords for these computers will also be removed from the password keyring."),
        tr("Delete"));
    if (!confirmed) {
        return;
    }
    store_.deleteConnections(ids);
    selection_ -= ids;
    if (deleteAction_) {
        deleteAction_->setEnabled(!selection_.isEmpty());
    }
}

void LibraryView::importLibrary() {
    const QString fileName = FileDialog::getOpenJsonFileName(this, tr("Import"));
    appState_.setShowImporter(false);
    if (fileName.isEmpty()) {
        return;
    }
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        appState_.setAlert(AppState::AppAlert{tr("Couldn’t Import"), file.errorString()});
        return;
    }
    const QByteArray contents = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        appState_.setAlert(AppState::AppAlert{tr("Couldn’t Import"), file.errorString()});
        return;
    }
    try {
        const int added = store_.importData(contents);
        appState_.setAlert(AppState::AppAlert{
            tr("Import Complete"),
            added == 1 ? tr("1 computer was added.") : tr("%1 computers were added.").arg(added)});
    } catch (const LibraryError& error) {
        appState_.setAlert(AppState::AppAlert{tr("Couldn’t Import"), error.description()});
    }
}

void LibraryView::exportLibrary() {
    const QByteArray contents = store_.exportData(
        selection_.isEmpty() ? std::nullopt : std::optional<QSet<QUuid>>(selection_));
    const QString fileName =
        FileDialog::getSaveJsonFileName(this, tr("Export"), tr("Tessaral Connections.json"));
    appState_.setShowExporter(false);
    if (fileName.isEmpty()) {
        return;
    }
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size() ||
        !file.commit()) {
        // Said, rather than leaving the user to believe the computers were saved.
        appState_.setAlert(AppState::AppAlert{tr("Couldn’t Export"), file.errorString()});
    }
}

void LibraryView::showAlert() {
    const std::optional<AppState::AppAlert> alert = appState_.alert();
    if (!alert) {
        return;
    }
    if (!isVisible()) {
        show();
    }
    MessageBox::inform(this, alert->title, alert->message);
    appState_.setAlert(std::nullopt);
}

void LibraryView::presentEditor() {
    // A copy, as the request may change while the editor is presented.
    const std::optional<AppState::EditorRequest> request = appState_.editorRequest();
    if (!request || (editor_ && editor_->connection().id == request->id())) {
        return;
    }
    if (editor_) {
        // Another request would lose what the user is editing: the open editor comes forward as
        // it is, and the request is again the one it shows.
        editor_->raise();
        editor_->activateWindow();
        appState_.setEditorRequest(
            AppState::EditorRequest{editor_->connection(), editor_->isNew()});
        return;
    }
    if (!isVisible()) {
        show();
    }
    editor_ = new ConnectionEditor(store_, keychain_, request->connection, request->isNew, this);
    editor_->setAttribute(Qt::WA_DeleteOnClose);
    editor_->setWindowModality(Qt::WindowModal);
    connect(editor_, &QDialog::finished, this,
            [this] { appState_.setEditorRequest(std::nullopt); });
    editor_->open();
}

void LibraryView::presentQuickConnect() {
    if (!appState_.showQuickConnect() || quickConnect_) {
        return;
    }
    if (!isVisible()) {
        show();
    }
    quickConnect_ = new QuickConnectSheet(store_, this);
    quickConnect_->setAttribute(Qt::WA_DeleteOnClose);
    quickConnect_->setWindowModality(Qt::WindowModal);
    connect(quickConnect_, &QuickConnectSheet::connectRequested, this, &LibraryView::connectTo);
    connect(quickConnect_, &QuickConnectSheet::recentChosen, this,
            [this](const QUuid& id) { openSession_(id); });
    connect(quickConnect_, &QDialog::finished, this,
            [this] { appState_.setShowQuickConnect(false); });
    quickConnect_->open();
}

}  // namespace tessaral
