#include "QualityActions.hpp"

#include <QActionGroup>
#include <QMenu>

#include "VNCSession.hpp"

namespace tessaral {

QActionGroup* addQualityActions(QMenu* menu, QObject* owner, const QPointer<VNCSession>& session) {
    auto* qualities = new QActionGroup(owner);
    for (rfb::RFBQuality quality : rfb::allQualities) {
        const auto name = rfb::title(quality);
        QAction* item = menu->addAction(QString::fromUtf8(name.data(), qsizetype(name.size())));
        item->setCheckable(true);
        item->setData(int(quality));
        qualities->addAction(item);
        QObject::connect(item, &QAction::triggered, owner, [&session, quality] {
            ConnectionOptions options = session->options();
            options.quality = quality;
            session->setOptions(options);
        });
    }
    return qualities;
}

}  // namespace tessaral
