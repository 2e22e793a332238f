#include "ClipboardSync.hpp"

#include <QTimer>
#include <chrono>

#include "LocalClipboard.hpp"

namespace tessaral {

ClipboardSync::ClipboardSync(LocalClipboard& clipboard, std::function<void(const QString&)> send,
                             QObject* parent)
    : QObject(parent),
      clipboard_(clipboard),
      send_(std::move(send)),
      seenChange_(clipboard.changeCount()) {}

void ClipboardSync::offerIfChanged() {
    const long change = clipboard_.changeCount();
    if (change == seenChange_) {
        return;
    }
    seenChange_ = change;
    const std::optional<QString> text = clipboard_.text();
    if (text && !text->isEmpty()) {
        send_(*text);
    }
}

void ClipboardSync::forgetSeen() {
    seenChange_ = -1;
}

void ClipboardSync::sendLocal() {
    if (const std::optional<QString> text = clipboard_.text()) {
        send_(*text);
        flash(QStringLiteral("Clipboard sent"));
    }
}

void ClipboardSync::takeRemote() {
    if (!remoteText_ || remoteText_->isEmpty()) {
        flash(QStringLiteral("Remote clipboard is empty"));
        return;
    }
    setLocal(*remoteText_);
}

void ClipboardSync::received(const QString& text, bool apply) {
    if (remoteText_ != text) {
        remoteText_ = text;
        emit remoteTextChanged();
    }
    if (apply) {
        setLocal(text);
    }
}

void ClipboardSync::setLocal(const QString& text) {
    clipboard_.setText(text);
    // Seen as this session's own write, so the next key press does not send it straight back.
    seenChange_ = clipboard_.changeCount();
    flash(QStringLiteral("Clipboard received"));
}

void ClipboardSync::flash(const QString& text) {
    setActivity(text);
    // Clears only its own notice: a newer one, the same words again included, keeps its full two
    // seconds.
    const int flash = ++flashes_;
    QTimer::singleShot(std::chrono::seconds(2), this, [this, flash] {
        if (flashes_ == flash) {
            setActivity(std::nullopt);
        }
    });
}

void ClipboardSync::setActivity(std::optional<QString> text) {
    if (activity_ != text) {
        activity_ = std::move(text);
        emit activityChanged();
    }
}

}  // namespace tessaral
