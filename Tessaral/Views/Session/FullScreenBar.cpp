#include "FullScreenBar.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

#include "ProtectionBadge.hpp"
#include "VNCSession.hpp"

namespace tessaral {

FullScreenBar::FullScreenBar(VNCSession* session, QAction* fullScreen, QWidget* window)
    : QWidget(window) {
    setObjectName(QStringLiteral("fullScreenBar"));
    setAutoFillBackground(true);
    auto* name = new QLabel(session->connection().name);
    name->setObjectName(QStringLiteral("fullScreenName"));
    auto* exit = new QToolButton;
    exit->setObjectName(QStringLiteral("exitFullScreenButton"));
    exit->setDefaultAction(fullScreen);
    // The remote screen keeps the keyboard.
    exit->setFocusPolicy(Qt::NoFocus);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 2, 4, 2);
    layout->addWidget(name);
    layout->addStretch();
    layout->addWidget(new ProtectionBadge(session));
    layout->addWidget(exit);
    hide();
}

void FullScreenBar::pointerMoved(int y) {
    if (y <= 0 && !isVisible()) {
        setGeometry(0, 0, parentWidget()->width(), sizeHint().height());
        raise();
        show();
    } else if (y >= height() && isVisible()) {
        hide();
    }
}

}  // namespace tessaral
