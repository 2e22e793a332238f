#include "ConnectionMenu.hpp"

#include "SessionActions.hpp"

namespace tessaral {

ConnectionMenu::ConnectionMenu(const SessionActions& actions, QWidget* parent)
    : QMenu(tr("&Connection"), parent) {
    setObjectName(QStringLiteral("connectionMenu"));
    addAction(actions.fullScreen());
    addSeparator();
    addActions({actions.scaling(), actions.resizeRemote(), actions.observe()});
    addMenu(actions.qualitySubmenu());
    addAction(actions.refresh());
    addSeparator();
    addActions({actions.sendClipboard(), actions.getClipboard()});
    addSeparator();
    addMenu(actions.sendKeysSubmenu());
    addAction(actions.typePassword());
    addSeparator();
    addActions({actions.screenshot(), actions.reconnect()});
}

}  // namespace tessaral
