#pragma once

#include <QPointer>

class QActionGroup;
class QMenu;
class QObject;

namespace tessaral {

class VNCSession;

// Adds one checkable item per image quality to `menu`, so that the connection menu and the
// toolbar offer the same choices. Choosing one changes the quality of whatever session `session`
// points to at that moment. The returned group, owned by `owner`, keeps the items exclusive.
QActionGroup* addQualityActions(QMenu* menu, QObject* owner, const QPointer<VNCSession>& session);

}  // namespace tessaral
