#include "AppCommands.hpp"

#include <QApplication>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>

#include "Model/ConnectionStore.hpp"
#include "Session/ConnectionMenu.hpp"
#include "State/AppState.hpp"

namespace tessaral {

namespace {

// The text field of `window` that has the keyboard, or will have it when the window is active.
QLineEdit* focusedField(const QWidget* window) {
    return qobject_cast<QLineEdit*>(window->focusWidget());
}

bool copyable(const QLineEdit& field) {
    return field.hasSelectedText() && field.echoMode() == QLineEdit::Normal;
}

// A command of the Edit menu acting on the window's focused text field. It is enabled only when
// `possible` there, so that elsewhere its keys go on to the focused widget: a list's own Select
// All, or the remote screen, which takes them through ShortcutOverride anyway. A focused field
// takes its standard keys the same way, so they never act twice.
QAction* addTextCommand(QWidget* window, QMenu* menu, const QString& text, const char* objectName,
                        QKeySequence::StandardKey keys, std::function<void(QLineEdit&)> apply,
                        bool (*possible)(const QLineEdit& field)) {
    QAction* action = menu->addAction(text, window, [window, apply = std::move(apply)] {
        if (QLineEdit* field = focusedField(window)) {
            apply(*field);
        }
    });
    action->setObjectName(QString::fromLatin1(objectName));
    action->setShortcuts(keys);
    const auto update = [window, action, possible] {
        const QLineEdit* field = focusedField(window);
        action->setEnabled(field && possible(*field));
    };
    update();
    // The focus decides where the keys go; a selection matters only to the menu, as a field takes
    // its own keys.
    QObject::connect(qApp, &QApplication::focusChanged, action, update);
    QObject::connect(menu, &QMenu::aboutToShow, action, update);
    return action;
}

}  // namespace

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
    edit->setObjectName(QStringLiteral("editMenu"));
    addTextCommand(window, edit, tr("Cut"), "cutAction", QKeySequence::Cut, &QLineEdit::cut,
                   [](const QLineEdit& field) { return copyable(field) && !field.isReadOnly(); });
    addTextCommand(window, edit, tr("Copy"), "copyAction", QKeySequence::Copy, &QLineEdit::copy,
                   copyable);
    addTextCommand(window, edit, tr("Paste"), "pasteAction", QKeySequence::Paste, &QLineEdit::paste,
                   [](const QLineEdit& field) { return !field.isReadOnly(); });
    QAction* deleteAction = edit->addAction(tr("Delete"));
    deleteAction->setObjectName(QStringLiteral("deleteAction"));
    deleteAction->setShortcut(QKeySequence::Delete);
    deleteAction->setEnabled(false);
    addTextCommand(window, edit, tr("Select All"), "selectAllAction", QKeySequence::SelectAll,
                   &QLineEdit::selectAll,
                   [](const QLineEdit& field) { return !field.text().isEmpty(); });
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
