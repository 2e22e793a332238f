#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSet>
#include <QUuid>
#include <functional>
#include <optional>

#include "ConnectionContextMenu.hpp"
#include "ConnectionEditor.hpp"
#include "LibraryScope.hpp"
#include "Model/BonjourBrowser.hpp"
#include "QuickConnectSheet.hpp"
#include "VNCAddress.hpp"

class QAction;
class QLineEdit;
class QSplitter;
class QStackedWidget;
class QToolButton;

namespace tessaral {

class AppCommands;

class AppState;
class ConnectionGridView;
class ConnectionListModel;
class ConnectionMenu;
class ConnectionStore;
class ConnectionTableView;
class EmptyStateView;
class KeychainService;
class LibrarySidebar;
class NearbyView;

// The application's main window: the scopes in a sidebar, their computers as cards or a table,
// or the computers nearby. Opens sessions (also for vnc:// links), edits, duplicates, files,
// deletes, imports and exports computers, and shows the application-wide alert. Every change goes
// through the store; the window keeps view state only.
class LibraryView : public QMainWindow {
    Q_OBJECT

  public:
    using OpenSession = std::function<void(const QUuid& id)>;

    // The shared objects must outlive the window. `openSession` opens (or brings forward) the
    // session window of a computer.
    LibraryView(ConnectionStore& store, AppState& appState, BonjourBrowser& browser,
                KeychainService& keychain, OpenSession openSession, QWidget* parent = nullptr);
    ~LibraryView() override;

    // Gives the window the application's menus.
    void installCommands(AppCommands& commands);

    // A vnc:// link: the computer it names opens, or the alert says why it cannot.
    void handle(const QString& url);
    // Finds or files the computer at that address and opens it, with the password the address
    // carried handed to its window once.
    void connectTo(const rfb::VNCAddress& address);
    void connectNearby(const BonjourBrowser::Service& service);
    void saveNearby(const BonjourBrowser::Service& service);
    void duplicate(const Connection& connection);
    // Asks, then deletes; nothing without ids.
    void requestDeletion(const QSet<QUuid>& ids);
    void importLibrary();
    void exportLibrary();

    // The computers the detail area shows, in scope order.
    QList<Connection> shownConnections() const;
    const QSet<QUuid>& selection() const { return selection_; }
    void setSelection(const QSet<QUuid>& ids);
    const ConnectionActions& actions() const { return actions_; }

    LibrarySidebar* sidebar() const { return sidebar_; }
    ConnectionGridView* grid() const { return grid_; }
    ConnectionTableView* table() const { return table_; }
    NearbyView* nearby() const { return nearby_; }
    EmptyStateView* emptyState() const { return empty_; }
    QLineEdit* searchField() const { return search_; }
    QAction* deleteAction() const { return deleteAction_; }
    ConnectionMenu* connectionMenu() const { return connectionMenu_; }
    ConnectionEditor* editor() const { return editor_; }
    QuickConnectSheet* quickConnectSheet() const { return quickConnect_; }
    ConnectionListModel* model() const { return model_; }

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void buildToolbar();
    void reload();
    void updateTitle();
    void showEmptyState();
    void layoutChanged();
    void scopeChanged();
    void updateBrowsing();
    void showAlert();
    void presentEditor();
    void presentQuickConnect();
    void selectionChanged(const QSet<QUuid>& ids);

    ConnectionStore& store_;
    AppState& appState_;
    BonjourBrowser& browser_;
    KeychainService& keychain_;
    OpenSession openSession_;
    ConnectionActions actions_;
    ConnectionListModel* model_;
    LibrarySidebar* sidebar_;
    QStackedWidget* detail_;
    ConnectionGridView* grid_;
    ConnectionTableView* table_;
    NearbyView* nearby_;
    EmptyStateView* empty_;
    QLineEdit* search_ = nullptr;
    QToolButton* gridButton_ = nullptr;
    QToolButton* listButton_ = nullptr;
    QAction* refreshAction_ = nullptr;
    QAction* deleteAction_ = nullptr;
    ConnectionMenu* connectionMenu_ = nullptr;
    QPointer<ConnectionEditor> editor_;
    QPointer<QuickConnectSheet> quickConnect_;
    QSet<QUuid> selection_;
    bool browsingStarted_ = false;
};

}  // namespace tessaral
