#include "Icons.hpp"

#include <QFile>
#include <QHash>
#include <QPainter>

// A resource in a static library is only registered when asked for by name.
static void registerBundledSymbols() {
    Q_INIT_RESOURCE(icons);
}

namespace tessaral {

namespace {

QString bundledPath(const QString& symbol) {
    static const bool registered = (registerBundledSymbols(), true);
    Q_UNUSED(registered);
    return QStringLiteral(":/symbols/") + symbol + QStringLiteral(".svg");
}

// Symbol name -> freedesktop icon name; empty where no standard icon means the same thing.
const QHash<QString, QString>& themeNames() {
    static const QHash<QString, QString> names = {
        {QStringLiteral("questionmark.square.dashed"), QStringLiteral("dialog-question")},
        {QStringLiteral("bolt.horizontal.circle"), QStringLiteral("network-offline")},
        {QStringLiteral("exclamationmark.triangle"), QStringLiteral("dialog-warning")},
        {QStringLiteral("arrow.up.left.and.arrow.down.right"), QStringLiteral("zoom-original")},
        {QStringLiteral("arrow.down.right.and.arrow.up.left"), QStringLiteral("zoom-fit-best")},
        {QStringLiteral("eye"), {}},
        {QStringLiteral("eye.fill"), {}},
        {QStringLiteral("command"), QStringLiteral("input-keyboard")},
        {QStringLiteral("doc.on.clipboard"), QStringLiteral("edit-paste")},
        {QStringLiteral("slider.horizontal.3"), {}},
        {QStringLiteral("camera"), QStringLiteral("camera-photo")},
        {QStringLiteral("xmark"), QStringLiteral("window-close")},
        {QStringLiteral("character.cursor.ibeam"), QStringLiteral("insert-text")},
        {QStringLiteral("key"), QStringLiteral("dialog-password")},
        {QStringLiteral("arrow.up.doc.on.clipboard"), {}},
        {QStringLiteral("arrow.down.doc.on.clipboard"), {}},
        {QStringLiteral("arrow.clockwise"), QStringLiteral("view-refresh")},
        {QStringLiteral("lock"), QStringLiteral("system-lock-screen")},
        {QStringLiteral("lock.open"), QStringLiteral("changes-allow")},
        // Orange by definition: a themed lock would lose the warning.
        {QStringLiteral("lock.trianglebadge.exclamationmark"), {}},
        {QStringLiteral("power"), QStringLiteral("system-shutdown")},
        {QStringLiteral("rectangle.3.group"), {}},
        {QStringLiteral("arrow.left.square"), QStringLiteral("go-previous")},
        {QStringLiteral("arrow.right.square"), QStringLiteral("go-next")},
        {QStringLiteral("square.on.square"), {}},
        {QStringLiteral("magnifyingglass"), QStringLiteral("system-search")},
        {QStringLiteral("xmark.octagon"), QStringLiteral("process-stop")},
        {QStringLiteral("rectangle.portrait.and.arrow.right"), QStringLiteral("system-log-out")},
        // The library window.
        {QStringLiteral("play.display"), {}},
        {QStringLiteral("pencil"), QStringLiteral("document-edit")},
        {QStringLiteral("plus.square.on.square"), {}},
        {QStringLiteral("link"), QStringLiteral("insert-link")},
        {QStringLiteral("folder"), QStringLiteral("folder")},
        {QStringLiteral("trash"), QStringLiteral("edit-delete")},
        {QStringLiteral("display.2"), {}},
        {QStringLiteral("clock"), {}},
        {QStringLiteral("plus.circle"), QStringLiteral("list-add")},
        {QStringLiteral("square.grid.2x2"), QStringLiteral("view-list-icons")},
        {QStringLiteral("list.bullet"), QStringLiteral("view-list-details")},
        {QStringLiteral("bolt"), {}},
        {QStringLiteral("plus"), QStringLiteral("list-add")},
        {QStringLiteral("wifi.exclamationmark"), {}},
        {QStringLiteral("dot.radiowaves.left.and.right"), {}},
        // The computer icons are tinted and offered side by side, so they are always Tessaral's
        // own.
        {QStringLiteral("desktopcomputer"), {}},
        {QStringLiteral("laptopcomputer"), {}},
        {QStringLiteral("macmini"), {}},
        {QStringLiteral("macstudio"), {}},
        {QStringLiteral("macpro.gen3"), {}},
        {QStringLiteral("display"), {}},
        {QStringLiteral("pc"), {}},
        {QStringLiteral("server.rack"), {}},
        {QStringLiteral("externaldrive.connected.to.line.below"), {}},
        {QStringLiteral("tv"), {}},
        {QStringLiteral("raspberrypi"), {}},
        {QStringLiteral("bonjour"), {}},
        {QStringLiteral("exclamationmark.circle"), {}},
        {QStringLiteral("bolt.fill"), {}},
        {QStringLiteral("gearshape"), QStringLiteral("preferences-system")},
        {QStringLiteral("keyboard"), QStringLiteral("input-keyboard")},
    };
    return names;
}

}  // namespace

QIcon symbolIcon(const QString& symbol) {
    const auto it = themeNames().constFind(symbol);
    if (it == themeNames().constEnd()) {
        return {};
    }
    QIcon bundled(bundledPath(symbol));
    if (it->isEmpty()) {
        return bundled;
    }
    return QIcon::fromTheme(*it, bundled);
}

bool hasBundledSymbol(const QString& symbol) {
    return themeNames().contains(symbol) && QFile::exists(bundledPath(symbol));
}

QPixmap tintedSymbol(const QString& symbol, const QColor& color, int size, qreal devicePixelRatio) {
    QPixmap pixmap = QIcon(bundledPath(symbol)).pixmap(QSize(size, size), devicePixelRatio);
    if (pixmap.isNull()) {
        return pixmap;
    }
    QPainter painter(&pixmap);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(pixmap.rect(), color);
    return pixmap;
}

}  // namespace tessaral
