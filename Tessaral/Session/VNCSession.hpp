#pragma once

#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QRegion>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include "KeyboardInput.hpp"
#include "LocalClipboard.hpp"
#include "Model/Connection.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/KeychainService.hpp"
#include "RFBClient.hpp"
#include "RemoteShortcut.hpp"

namespace tessaral {

// One live connection to one computer as its window shows it. Runs on the main thread: the
// client's events are read when its event descriptor becomes readable, never by polling. Every
// signal fires only when its value really changed.
class VNCSession : public QObject {
    Q_OBJECT

  public:
    struct State {
        enum class Kind {
            idle,
            connecting,
            authenticating,
            connected,
            disconnected,
            failed,
            needsCredentials
        };
        Kind kind = Kind::idle;
        QString message;  // failed: the error's description
        rfb::RFBCredentialKind credentialKind =
            rfb::RFBCredentialKind::password;  // needsCredentials
        bool retry = false;  // needsCredentials: offered credentials were rejected

        static State failed(QString message) { return {Kind::failed, std::move(message)}; }
        static State needsCredentials(rfb::RFBCredentialKind kind, bool retry) {
            return {Kind::needsCredentials, {}, kind, retry};
        }
        bool operator==(const State&) const = default;
    };

    // Without `credentials` the session looks up the computer's stored password in the
    // background; connect() waits for that answer. `store`, `keychain` and `clipboard` must
    // outlive the session.
    VNCSession(const Connection& connection, ConnectionStore& store, KeychainService& keychain,
               LocalClipboard& clipboard,
               std::optional<rfb::RFBCredentials> credentials = std::nullopt,
               QObject* parent = nullptr);
    ~VNCSession() override;

    QUuid id() const { return id_; }
    const Connection& connection() const { return connection_; }
    const State& state() const { return state_; }
    // One line for the title: "Connecting…", "Studio · 2560 × 1440", "Disconnected", …
    QString statusText() const;
    // The newest frame, wrapped without a copy; null before the first one. Kept after the
    // connection ends.
    const QImage& frame() const { return frame_; }
    // Where frame() differs from the frame before it, in its pixels: all of it for the first
    // frame and after a resize. Valid until the next frameChanged().
    const QRegion& frameDamage() const { return frameDamage_; }
    const std::optional<rfb::RFBServerInfo>& serverInfo() const { return serverInfo_; }
    const std::optional<rfb::RFBCursor>& cursor() const { return cursor_; }
    const std::optional<QString>& remoteClipboard() const { return remoteClipboard_; }
    // Frames are taken at most once per refresh of the screen showing them (60 Hz until told).
    void setRefreshRate(double hertz);
    // A short notice about clipboard traffic, shown for two seconds.
    const std::optional<QString>& clipboardActivity() const { return clipboardActivity_; }
    const ConnectionOptions& options() const { return options_; }
    // Applies quality at once, releases held keys when observe-only is switched on, and saves the
    // options into the computer's record.
    void setOptions(const ConnectionOptions& options);
    // Connected and not observe-only: input goes to the remote computer.
    bool acceptsInput() const;
    // Whether the screen view takes the key from the application's shortcuts, for the remote
    // computer.
    bool claims(const KeyRecord& key) const;
    KeyboardContext keyboardContext() const;
    bool canTypePassword() const;

    void connect();
    void disconnect();
    void provideCredentials(const QString& username, const QString& password, bool remember);

    void pointer(int x, int y, std::uint8_t buttons);
    void keyPress(const KeyRecord& key);
    void keyRelease(const KeyRecord& key);
    // Lets go of every key the server holds down for this session's keyboard.
    void releaseAllKeys();

    void syncLocalClipboardIfChanged();
    void sendClipboardText(const QString& text);
    void sendClipboard();
    void getClipboard();
    void send(RemoteShortcut shortcut);
    void typeText(const QString& text);
    void typePassword();
    void refreshScreen();

    // "<name> 2026-12-05T151203.png" for that moment in UTC.
    QString screenshotFileName(const QDateTime& now) const;
    // Writes `image` as PNG to `path` atomically; false on any failure.
    static bool writeScreenshot(const QImage& image, const QString& path);

  signals:
    void stateChanged();
    void statusTextChanged();
    void frameChanged();
    void serverInfoChanged();
    void cursorChanged();
    void remoteClipboardChanged();
    void clipboardActivityChanged();
    void optionsChanged();
    void canTypePasswordChanged();
    // The server rang its bell.
    void bell();

  private:
    friend struct VNCSessionTesting;

    void setState(State state);
    // Emits the change signals of the values derived from several fields.
    void updateDerived();
    void startClient();
    void teardown();
    void readEvents();
    void handle(const rfb::RFBEvent& event, rfb::RFBClient& from);
    void handleDisconnected(const std::optional<rfb::RFBError>& error);
    void frameAvailable(rfb::RFBClient& from);
    void takeFrame(rfb::RFBClient& from);
    void takeHeldBackFrame();
    void handleRemoteClipboard(QString text);
    void passwordLookedUp(const std::optional<QString>& password);
    void sendKeys(const std::vector<KeyAction>& keys);
    void flashClipboardActivity(const QString& text);
    void setClipboardActivity(std::optional<QString> text);
    void saveThumbnail();

    ConnectionStore& store_;
    KeychainService& keychain_;
    LocalClipboard& clipboard_;
    std::optional<rfb::RFBCredentials> credentials_;
    long lastPasteboardChange_ = 0;
    std::shared_ptr<rfb::RFBClient> client_;
    QSocketNotifier* events_ = nullptr;
    // The stored password is being looked up in the background, and connect() waits for it.
    bool lookingUpPassword_ = false;
    bool connectAfterLookup_ = false;
    QString statusText_;
    bool canTypePassword_ = false;
    // Sees every message handed to the client; for tests.
    std::function<void(const QString&)> clientCalls_;

    QUuid id_;
    Connection connection_;
    State state_;
    QImage frame_;
    QRegion frameDamage_;
    std::chrono::nanoseconds frameInterval_{1'000'000'000 / 60};
    QElapsedTimer sinceFrameTaken_;
    QTimer heldBackFrame_;
    std::optional<rfb::RFBServerInfo> serverInfo_;
    std::optional<rfb::RFBCursor> cursor_;
    std::optional<QString> remoteClipboard_;
    std::optional<QString> clipboardActivity_;
    ConnectionOptions options_;
    KeyboardInput keyboard_;
};

}  // namespace tessaral
