#include "AppCommands.hpp"

#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>

#include "Model/ConnectionStore.hpp"
#include "Session/ConnectionMenu.hpp"
#include "State/AppState.hpp"

namespace tessaral {

AppCommands::AppCommands(ConnectionStore& store, AppState& appState, Windows windows,
                         QObject* parent)
    : QObject(parent), store_(store), appState_(appState), windows_(std::move(windows)) {}

QAction* AppCommands::install(QMainWindow* window, ConnectionMenu* connectionMenu) {
    // A new bar replaces (and deletes) whatever menus the window had made for itself.
    auto* bar = new QMenuBar(window);

    QMenu* file = bar->addMenu(tr("&File"));
    // The library window comes first, so that a sheet or panel it opens has a window to sit on.
    QAction* newConnection = file->addAction(tr("New Connection…"), this, [this] {
        windows_.showLibrary();
        appState_.newConnection();
    });
    newConnection->setShortcut(QKeySequence(QStringLiteral("Ctrl+N")));
    QAction* quickConnect = file->addAction(tr("Quick Connect…"), this, [this] {
        windows_.showLibrary();
        appState_.setShowQuickConnect(true);
    });
    quickConnect->setShortcut(QKeySequence(QStringLiteral("Ctrl+K")));
    file->addSeparator();
    file->addAction(tr("Import…"), this, [this] {
        windows_.showLibrary();
        appState_.setShowImporter(true);
    });
    QAction* exportAction = file->addAction(tr("Export…"), this, [this] {
        windows_.showLibrary();
        appState_.setShowExporter(true);
    });
    exportAction->setObjectName(QStringLiteral("exportAction"));
    const auto updateExport = [this, exportAction] {
        exportAction->setEnabled(!store_.connections().isEmpty());
    };
    updateExport();
    connect(&store_, &ConnectionStore::connectionsChanged, exportAction, updateExport);
    file->addSeparator();
    QAction* close = file->addAction(tr("Close Window"), window, &QWidget::close);
    close->setShortcut(QKeySequence(QStringLiteral("Ctrl+W")));
    QAction* quit = file->addAction(tr("Quit"), qApp, &QApplication::closeAllWindows);
    quit->setShortcut(QKeySequence(QStringLiteral("Ctrl+Q")));
    quit->setMenuRole(QAction::QuitRole);

    QMenu* edit = bar->addMenu(tr("&Edit"));
    QAction* deleteAction = edit->addAction(tr("Delete"));
    deleteAction->setObjectName(QStringLiteral("deleteAction"));
    deleteAction->setShortcut(QKeySequence::Delete);
    deleteAction->setEnabled(false);
    edit->addSeparator();
    QAction* preferences = edit->addAction(tr("Preferences…"), this, [this] {
        if (windows_.showPreferences) {
            windows_.showPreferences();
        }
    });
    preferences->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    preferences->setMenuRole(QAction::PreferencesRole);
    preferences->setEnabled(static_cast<bool>(windows_.showPreferences));

    connectionMenu->setTitle(tr("&Connection"));
    bar->addMenu(connectionMenu);

    QMenu* windows = bar->addMenu(tr("&Window"));
    windows->setObjectName(QStringLiteral("windowMenu"));
    // Owned by the window, so that rebuilding the list keeps it (and its shortcut) alive.
    auto* library = new QAction(tr("Library"), window);
    library->setObjectName(QStringLiteral("libraryAction"));
    library->setShortcut(QKeySequence(QStringLiteral("Ctrl+Shift+L")));
    connect(library, &QAction::triggered, this, [this] { windows_.showLibrary(); });
    auto* minimize = new QAction(tr("Minimize"), window);
    connect(minimize, &QAction::triggered, window, &QWidget::showMinimized);
    const auto listWindows = [window, windows, library, minimize] {
        windows->clear();
        windows->addAction(library);
        windows->addAction(minimize);
        windows->addSeparator();
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* other = qobject_cast<QMainWindow*>(widget);
            if (!other || !other->isVisible()) {
                continue;
            }
            QAction* item = windows->addAction(other->windowTitle(), other, [other] {
                other->showNormal();
                other->raise();
                other->activateWindow();
            });
            item->setCheckable(true);
            item->setChecked(other == window);
        }
    };
    listWindows();
    connect(windows, &QMenu::aboutToShow, window, listWindows);

    QMenu* help = bar->addMenu(tr("&Help"));
    help->addAction(tr("About Tessaral"), window, [window] {
        QMessageBox::about(window, AppCommands::tr("About Tessaral"),
                           AppCommands::tr("Tessaral %1\nA client for remote screens (VNC and "
                                           "Screen Sharing).")
                               .arg(QApplication::applicationVersion()));
    });

    window->setMenuBar(bar);
    return deleteAction;
}

}  // namespace tessaral
