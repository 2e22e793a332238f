#include <gtest/gtest.h>

#include "Model/Connection.hpp"
#include "RemoteShortcut.hpp"
#include "Views/Icons.hpp"

namespace tessaral {
namespace {

// A theme may lack any of them, so each needs a drawing of its own.
TEST(Icons, EverySymbolTheViewsUseIsBundled) {
    QStringList symbols =
        QStringLiteral(
            "questionmark.square.dashed bolt.horizontal.circle exclamationmark.triangle "
            "arrow.up.left.and.arrow.down.right arrow.down.right.and.arrow.up.left eye "
            "eye.fill command doc.on.clipboard slider.horizontal.3 camera xmark "
            "character.cursor.ibeam key arrow.up.doc.on.clipboard "
            "arrow.down.doc.on.clipboard arrow.clockwise lock "
            "lock.open lock.trianglebadge.exclamationmark bonjour exclamationmark.circle "
            "bolt.fill gearshape display keyboard")
            .split(u' ');
    for (RemoteShortcut shortcut : allRemoteShortcuts) {
        symbols << iconName(shortcut);
    }
    symbols << Connection::symbols();
    for (const QString& symbol : symbols) {
        EXPECT_TRUE(hasBundledSymbol(symbol)) << symbol.toStdString();
        EXPECT_FALSE(symbolIcon(symbol).pixmap(24, 24).isNull()) << symbol.toStdString();
    }
}

}  // namespace
}  // namespace tessaral
