#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <optional>

namespace tessaral {

class LocalClipboard;

// The clipboard a session shares with its remote computer: the local text offered to the server
// when it changed, the server's text kept and taken into the local clipboard, and a two-second
// notice about each. Whether sharing is allowed at a given moment is the session's to decide.
class ClipboardSync : public QObject {
    Q_OBJECT

  public:
    // `send` hands a text to the server. `clipboard` must outlive this object.
    ClipboardSync(LocalClipboard& clipboard, std::function<void(const QString&)> send,
                  QObject* parent = nullptr);

    // The server's latest text; none before it sent one.
    const std::optional<QString>& remoteText() const { return remoteText_; }
    // "Clipboard sent", "Clipboard received", "Remote clipboard is empty", or none.
    const std::optional<QString>& activity() const { return activity_; }

    // Sends the local text if the clipboard changed since it was last seen and holds some.
    void offerIfChanged();
    // The next offer sends whatever the clipboard holds: a new connection has seen none of it.
    void forgetSeen();
    // Sends the local text, changed or not, and says so.
    void sendLocal();
    // Takes the server's text into the local clipboard, or says there is none.
    void takeRemote();
    // The server's text arrived; with `apply` it becomes the local clipboard's at once.
    void received(const QString& text, bool apply);

  signals:
    void remoteTextChanged();
    void activityChanged();

  private:
    void setLocal(const QString& text);
    void flash(const QString& text);
    void setActivity(std::optional<QString> text);

    LocalClipboard& clipboard_;
    std::function<void(const QString&)> send_;
    long seenChange_ = 0;
    std::optional<QString> remoteText_;
    std::optional<QString> activity_;
    int flashes_ = 0;
};

}  // namespace tessaral
