#pragma once

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>

namespace tessaral {

// The icon for one of the symbol names the views use ("camera", "doc.on.clipboard", …): the
// desktop theme's icon where the theme has one, else the drawing bundled with Tessaral. An unknown
// name gives a null icon.
QIcon symbolIcon(const QString& symbol);

// Whether Tessaral bundles a drawing for that name (every name the views use has one).
bool hasBundledSymbol(const QString& symbol);

// The symbol drawn in one colour, for icons on the dark panels over the remote screen, where the
// theme's colours would not show.
QPixmap tintedSymbol(const QString& symbol, const QColor& color, int size, qreal devicePixelRatio);

}  // namespace tessaral
