#include "LocalClipboard.hpp"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace tessaral {

SystemClipboard::SystemClipboard(QObject* parent) : QObject(parent) {
    QObject::connect(QGuiApplication::clipboard(), &QClipboard::changed, this,
                     [this](QClipboard::Mode mode) {
                         if (mode == QClipboard::Clipboard) {
                             ++changes_;
                         }
                     });
}

std::optional<QString> SystemClipboard::text() const {
    const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
    if (data == nullptr || !data->hasText()) {
        return std::nullopt;
    }
    return data->text();
}

void SystemClipboard::setText(const QString& text) {
    QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
}

}  // namespace tessaral
