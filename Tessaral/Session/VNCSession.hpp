#pragma once

#include <QImage>
#include <QObject>
#include <QRegion>
#include <QSocketNotifier>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

#include "ClipboardSync.hpp"
#include "FrameImage.hpp"
#include "FramePacer.hpp"
#include "KeyboardInput.hpp"
#include "LocalClipboard.hpp"
#include "Model/ConnectionStore.hpp"
#include "Model/IdentityStore.hpp"
#include "Model/KeychainService.hpp"
#include "RFBClient.hpp"
#include "RemoteResize.hpp"
#include "RemoteShortcut.hpp"
#include "SessionState.hpp"

namespace tessaral {

// One live connection to one computer as its window shows it: the coordinator of the client's
// attempts, the frames, the input and the clipboard. Runs on the main thread: the client's events
// are read when its event descriptor becomes readable, never by polling. Every signal fires only
// when its value really changed.
class VNCSession : public QObject {
    Q_OBJECT

  public:
    using State = SessionState;

    // Without `credentials` the session looks up the computer's stored password in the
    // background; connect() waits for that answer. `store`, `identities`, `keychain` and
    // `clipboard` must outlive the session.
    VNCSession(const Connection& connection, ConnectionStore& store, IdentityStore& identities,
               KeychainService& keychain, LocalClipboard& clipboard,
               std::optional<rfb::RFBCredentials> credentials = std::nullopt,
               QObject* parent = nullptr);
    ~VNCSession() override;

    QUuid id() const { return id_; }
    const Connection& connection() const { return connection_; }
    const State& state() const { return state_; }
    QString statusText() const { return statusText_; }
    // The newest frame's size as of the last frameChanged(); empty before the first frame. Kept
    // after the connection ends, like the frame.
    QSize frameSize() const { return frameSize_; }
    // Counts frameChanged(), so that a view can tell a new frame from a repaint of the same.
    quint64 frameNumber() const { return frameNumber_; }
    // The newest frame, for one paint, without a copy. It may be newer than frameSize() and
    // frameDamage() tell: the further changes come with the next frameChanged(). The session holds
    // no frame between paints, so that the client needs a store less (see RFBImage::Paint).
    std::optional<FramePaint> paintFrame() const;
    // A copy of the newest frame, to keep; null before the first one.
    QImage copyFrame() const;
    // Where the frame may differ from the one of the frameChanged() before, in its pixels: all of
    // it for the first frame and after a resize. Valid until the next frameChanged().
    const QRegion& frameDamage() const { return frameDamage_; }
    const std::optional<rfb::RFBServerInfo>& serverInfo() const { return serverInfo_; }
    const std::optional<rfb::RFBCursor>& cursor() const { return cursor_; }
    const std::optional<QString>& remoteClipboard() const { return clipboardSync_.remoteText(); }
    // Frames are taken at most once per refresh of the screen showing them (60 Hz until told).
    void setRefreshRate(double hertz) { pacer_.setRefreshRate(hertz); }
    // A short notice about clipboard traffic, shown for two seconds.
    const std::optional<QString>& clipboardActivity() const { return clipboardSync_.activity(); }
    const ConnectionOptions& options() const { return options_; }
    // The remote desktop takes the window's size, and is shown one pixel per pixel.
    bool remoteFollowsWindow() const { return remoteResize_.active(); }
    ScalingMode scaling() const;
    // Why the server refused to follow the window's size, once it has.
    const std::optional<QString>& resizeRefusal() const { return remoteResize_.refusal(); }
    // The area showing the remote screen, in device pixels, which the remote desktop follows
    // where the server and the computer's options allow.
    void setViewSize(QSize devicePixels);
    // Applies quality at once, releases held keys when observe-only is switched on, and saves the
    // options into the computer's record.
    void setOptions(const ConnectionOptions& options);
    // Connected and not observe-only: input goes to the remote computer.
    bool acceptsInput() const;
    // Whether the screen view takes the key from the application's shortcuts, for the remote
    // computer.
    bool claims(const KeyRecord& key) const;
    bool canTypePassword() const;

    void connect();
    void disconnect();
    void provideCredentials(const QString& username, const QString& password, bool remember);
    // Hands the user's answer to what the SSH gateway asked; only while the state asks for it.
    // Declining is disconnect().
    void answerGateway(const QString& answer);
    // Remembers the identity the server presents as this computer's and connects again; only
    // while the state asks for that decision.
    void trustIdentity();

    void pointer(int x, int y, std::uint8_t buttons);
    void keyPress(const KeyRecord& key);
    void keyRelease(const KeyRecord& key);
    // Lets go of every key the server holds down for this session's keyboard.
    void releaseAllKeys();

    // The local clipboard goes to the server when it changed and sharing is on.
    void syncLocalClipboardIfChanged();
    void sendClipboard();
    void getClipboard();
    void send(RemoteShortcut shortcut);
    void typeText(const QString& text);
    void typePassword();
    void refreshScreen();

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
    void scalingChanged();
    // The server refused a new size; said once per connection.
    void resizeRefused();
    // The server rang its bell.
    void bell();

  private:
    friend struct VNCSessionTesting;

    void setState(State state);
    // Emits the change signals of the values derived from several fields.
    void updateDerived();
    KeyboardContext keyboardContext() const;
    void passwordLookedUp(const std::optional<QString>& password);
    rfb::RFBConfiguration clientConfiguration() const;
    bool throughGateway() const;
    void startClient();
    void teardown();
    void readEvents();
    void handle(const rfb::RFBEvent& event);
    void handleDisconnected(const std::optional<rfb::RFBError>& error);
    void takeFrame();
    void sendKeys(const std::vector<KeyAction>& keys);
    void sendClipboardText(const QString& text);
    void saveThumbnail();

    ConnectionStore& store_;
    IdentityStore& identities_;
    KeychainService& keychain_;
    std::optional<rfb::RFBCredentials> credentials_;
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
    QSize frameSize_;
    quint64 frameNumber_ = 0;
    // The last frame of the client torn down, until the next client has one.
    QImage lastFrame_;
    QRegion frameDamage_;
    FramePacer pacer_;
    ClipboardSync clipboardSync_;
    RemoteResize remoteResize_;
    std::optional<rfb::RFBServerInfo> serverInfo_;
    std::optional<rfb::RFBCursor> cursor_;
    ConnectionOptions options_;
    KeyboardInput keyboard_;
};

}  // namespace tessaral
