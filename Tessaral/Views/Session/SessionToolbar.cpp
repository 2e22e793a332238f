#include "SessionToolbar.hpp"

#include <QMenu>
#include <QToolButton>

#include "SessionActions.hpp"

namespace tessaral {

SessionToolbar::SessionToolbar(const SessionActions& actions, QWidget* parent)
    : QToolBar(tr("Session"), parent) {
    setObjectName(QStringLiteral("sessionToolbar"));
    setMovable(false);
    setFloatable(false);
    setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    setContextMenuPolicy(Qt::PreventContextMenu);
    // Clicking a control must not take the keyboard away from the remote screen.
    setFocusPolicy(Qt::NoFocus);

    addActions({actions.scaling(), actions.observe()});
    addMenu(actions.keyboardMenu());
    addMenu(actions.clipboardMenu());
    addMenu(actions.qualityMenu());
    addActions({actions.screenshot(), actions.disconnect()});
    for (QAction* action : this->actions()) {
        widgetForAction(action)->setFocusPolicy(Qt::NoFocus);
    }
}

void SessionToolbar::addStatus(QWidget* status) {
    auto* spacer = new QWidget;
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    addWidget(spacer);
    addWidget(status);
}

void SessionToolbar::addMenu(QMenu* menu) {
    addAction(menu->menuAction());
    if (auto* button = qobject_cast<QToolButton*>(widgetForAction(menu->menuAction()))) {
        button->setPopupMode(QToolButton::InstantPopup);
    }
}

}  // namespace tessaral
