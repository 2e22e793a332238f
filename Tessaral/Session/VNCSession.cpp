#include "VNCSession.hpp"

#include <QCoreApplication>
#include <chrono>
#include <variant>

#include "DisplayText.hpp"
#include "FrameImage.hpp"
#include "Model/AppSettings.hpp"

namespace tessaral {

namespace {

// The client's damage is relative to the frame this session took before, so it is whole exactly
// when the size changed (or there was no frame).
QRegion damageOf(const rfb::RFBDamage& taken, QSize before) {
    const QSize size(taken.width, taken.height);
    if (size != before) {
        return QRegion(QRect(QPoint(), size));
    }
    QRegion damage;
    for (const rfb::RFBRect& rect : taken.areas) {
        damage += QRect(rect.x, rect.y, rect.width, rect.height);
    }
    return damage;
}

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

}  // namespace

VNCSession::VNCSession(const Connection& connection, ConnectionStore& store,
                       IdentityStore& identities, KeychainService& keychain,
                       LocalClipboard& clipboard, std::optional<rfb::RFBCredentials> credentials,
                       QObject* parent)
    : QObject(parent),
      store_(store),
      identities_(identities),
      keychain_(keychain),
      credentials_(std::move(credentials)),
      id_(connection.id),
      connection_(connection),
      pacer_([this] { takeFrame(); }),
      clipboardSync_(clipboard, [this](const QString& text) { sendClipboardText(text); }),
      remoteResize_([this](QSize size, const std::vector<rfb::RFBScreen>& screens) {
          if (clientCalls_) {
              clientCalls_(
                  QStringLiteral("desktop size %1x%2").arg(size.width()).arg(size.height()));
          }
          client_->requestDesktopSize(size.width(), size.height(), screens);
      }),
      options_(connection.options) {
    remoteResize_.setEnabled(options_.resizeRemote && !options_.observeOnly);
    QObject::connect(&remoteResize_, &RemoteResize::activeChanged, this,
                     &VNCSession::scalingChanged);
    QObject::connect(&remoteResize_, &RemoteResize::refused, this, &VNCSession::resizeRefused);
    QObject::connect(&clipboardSync_, &ClipboardSync::remoteTextChanged, this,
                     &VNCSession::remoteClipboardChanged);
    QObject::connect(&clipboardSync_, &ClipboardSync::activityChanged, this,
                     &VNCSession::clipboardActivityChanged);
    statusText_ = tessaral::statusText(state_, serverInfo_, frameSize_, throughGateway());
    if (credentials_) {
        return;
    }
    lookingUpPassword_ = true;
    keychain_.lookUp(
        id_, this, [this](const std::optional<QString>& password) { passwordLookedUp(password); });
}

VNCSession::~VNCSession() {
    teardown();
}

void VNCSession::passwordLookedUp(const std::optional<QString>& password) {
    // What the user typed meanwhile wins over whatever the keychain has to say.
    if (!lookingUpPassword_) {
        return;
    }
    lookingUpPassword_ = false;
    if (password) {
        credentials_ =
            rfb::RFBCredentials{connection_.username.toStdString(), password->toStdString()};
    }
    if (connectAfterLookup_) {
        connectAfterLookup_ = false;
        startClient();
    }
    updateDerived();
}

void VNCSession::setState(State state) {
    if (state == state_) {
        return;
    }
    state_ = std::move(state);
    emit stateChanged();
    updateDerived();
}

void VNCSession::updateDerived() {
    if (QString text = tessaral::statusText(state_, serverInfo_, frameSize_, throughGateway());
        text != statusText_) {
        statusText_ = std::move(text);
        emit statusTextChanged();
    }
    if (const bool can = canTypePassword(); can != canTypePassword_) {
        canTypePassword_ = can;
        emit canTypePasswordChanged();
    }
}

bool VNCSession::acceptsInput() const {
    return state_.kind == State::Kind::connected && !options_.observeOnly;
}

bool VNCSession::claims(const KeyRecord& key) const {
    return acceptsInput() && !KeyboardInput::staysLocal(key, keyboardContext());
}

KeyboardContext VNCSession::keyboardContext() const {
    return {AppSettings::sendSystemShortcuts(), options_.commandMapping,
            serverInfo_ && serverInfo_->isApple};
}

bool VNCSession::canTypePassword() const {
    return acceptsInput() && credentials_ && !credentials_->password.empty();
}

// ---- Attempts -------------------------------------------------------------------------------

void VNCSession::connect() {
    teardown();
    setState(State::at(State::Kind::connecting));
    if (lookingUpPassword_) {
        connectAfterLookup_ = true;
        return;
    }
    startClient();
}

rfb::RFBConfiguration VNCSession::clientConfiguration() const {
    rfb::RFBConfiguration configuration;
    if (connection_.bonjourServiceName) {
        configuration.endpoint =
            rfb::RFBEndpoint::bonjour(connection_.bonjourServiceName->toStdString());
    } else {
        configuration.endpoint = rfb::RFBEndpoint::host(connection_.host.toStdString(),
                                                        static_cast<long>(connection_.port));
    }
    configuration.credentials = credentials_;
    configuration.quality = options_.quality;
    configuration.shared = options_.sharedSession;
    configuration.localCursor = options_.showRemoteCursor;
    configuration.connectTimeout = std::chrono::seconds(15);
    configuration.requireEncryption = options_.requireEncryption;
    configuration.trustedIdentity = identities_.identity(IdentityStore::serverKey(connection_));
    if (throughGateway()) {
        // ssh asks the user through this program, in its askpass mode.
        configuration.gateway =
            rfb::RFBGateway{connection_.sshGateway.toStdString(),
                            QCoreApplication::applicationFilePath().toStdString()};
    }
    return configuration;
}

bool VNCSession::throughGateway() const {
    // A computer found nearby is reached where its service points, never through a gateway.
    return !connection_.sshGateway.isEmpty() && !connection_.bonjourServiceName;
}

void VNCSession::startClient() {
    remoteResize_.reset();
    client_ = std::make_shared<rfb::RFBClient>(clientConfiguration());
    events_ = new QSocketNotifier(client_->events().fd(), QSocketNotifier::Read, this);
    QObject::connect(events_, &QSocketNotifier::activated, this, &VNCSession::readEvents);
    client_->start();
}

void VNCSession::teardown() {
    connectAfterLookup_ = false;
    // A new connection starts with no key down.
    keyboard_.releaseAll();
    pacer_.stop();
    if (events_ != nullptr) {
        // Before the client and its descriptor go; possibly inside the notifier's own activation.
        events_->setEnabled(false);
        events_->deleteLater();
        events_ = nullptr;
    }
    if (client_) {
        client_->stop();
        if (std::optional<rfb::RFBImage> last = client_->takeFrame()) {
            lastFrame_ = wrapFrame(*last);
        }
        client_.reset();
    }
}

void VNCSession::disconnect() {
    pacer_.flush();
    releaseAllKeys();
    teardown();
    saveThumbnail();
    switch (state_.kind) {
        case State::Kind::connected:
        case State::Kind::connecting:
        case State::Kind::authenticating:
        case State::Kind::needsGatewayAnswer:
            setState(State::at(State::Kind::disconnected));
            break;
        default:
            break;
    }
}

void VNCSession::provideCredentials(const QString& username, const QString& password,
                                    bool remember) {
    lookingUpPassword_ = false;
    credentials_ = rfb::RFBCredentials{username.toStdString(), password.toStdString()};
    const bool saved = store_.isSaved(id_);
    if (username != connection_.username) {
        connection_.username = username;
        if (saved) {
            store_.upsert(connection_);
        }
    }
    if (remember && saved) {
        keychain_.store(id_, password);
    }
    connect();
}

void VNCSession::answerGateway(const QString& answer) {
    if (state_.kind != State::Kind::needsGatewayAnswer || !client_) {
        return;
    }
    client_->answerGatewayPrompt(answer.toStdString());
    setState(State::at(State::Kind::connecting));
}

void VNCSession::trustIdentity() {
    if (state_.kind != State::Kind::needsTrust) {
        return;
    }
    identities_.trust(IdentityStore::serverKey(connection_), *state_.identity);
    connect();
}

// ---- Events ---------------------------------------------------------------------------------

void VNCSession::readEvents() {
    // Handling an event may end this attempt or start another; what is left of this client's
    // events is then dropped.
    const std::shared_ptr<rfb::RFBClient> client = client_;
    while (client && client_ == client) {
        std::optional<rfb::RFBEvent> event = client->events().tryNext();
        if (!event) {
            break;
        }
        handle(*event);
    }
}

void VNCSession::handle(const rfb::RFBEvent& event) {
    std::visit(Overloaded{
                   [this](const rfb::event::Status& status) {
                       setState(State::at(status.status == rfb::RFBStatus::connecting
                                              ? State::Kind::connecting
                                              : State::Kind::authenticating));
                   },
                   [this](const rfb::event::Connected& connected) {
                       if (serverInfo_ != connected.info) {
                           serverInfo_ = connected.info;
                           emit serverInfoChanged();
                       }
                       setState(State::at(State::Kind::connected));
                       store_.markConnected(id_);
                       store_.insertActiveSession(id_);
                       clipboardSync_.forgetSeen();
                       syncLocalClipboardIfChanged();
                   },
                   [this](const rfb::event::FrameAvailable&) { pacer_.frameAvailable(); },
                   [this](const rfb::event::Cursor& cursor) {
                       cursor_ = cursor.cursor;
                       emit cursorChanged();
                   },
                   [this](const rfb::event::Clipboard& clipboard) {
                       clipboardSync_.received(QString::fromStdString(clipboard.text),
                                               options_.shareClipboard && !options_.observeOnly);
                   },
                   [this](const rfb::event::Bell&) { emit bell(); },
                   [this](const rfb::event::GatewayPrompt& prompt) {
                       setState(State::needsGatewayAnswer(prompt));
                   },
                   [this](const rfb::event::DesktopLayout& layout) {
                       remoteResize_.layoutReceived(layout);
                   },
                   [this](const rfb::event::Disconnected& disconnected) {
                       handleDisconnected(disconnected.error);
                   },
               },
               event);
}

void VNCSession::takeFrame() {
    if (!client_) {
        return;
    }
    if (std::optional<rfb::RFBDamage> taken = client_->takeDamage()) {
        const QSize before = frameSize_;
        frameSize_ = QSize(taken->width, taken->height);
        frameDamage_ = damageOf(*taken, before);
        ++frameNumber_;
        lastFrame_ = QImage();
        emit frameChanged();
        // The status line shows the frame's size, and only that depends on it.
        if (frameSize_ != before) {
            updateDerived();
        }
    }
}

std::optional<FramePaint> VNCSession::paintFrame() const {
    if (client_) {
        if (std::optional<rfb::RFBImage::Paint> paint = client_->paintFrame()) {
            return FramePaint(std::move(*paint));
        }
    }
    if (!lastFrame_.isNull()) {
        return FramePaint(lastFrame_);
    }
    return std::nullopt;
}

QImage VNCSession::copyFrame() const {
    const std::optional<FramePaint> paint = paintFrame();
    return paint ? paint->image().copy() : QImage();
}

void VNCSession::handleDisconnected(const std::optional<rfb::RFBError>& error) {
    pacer_.flush();
    store_.removeActiveSession(id_);
    teardown();
    saveThumbnail();
    // A server that closes a live session has ended it; "Couldn't Connect" would tell the user
    // something that never happened.
    bool endedByServer = state_.kind == State::Kind::connected && error &&
                         error->kind() == rfb::RFBError::Kind::connectionClosed;
    if (!error || endedByServer) {
        setState(State::at(State::Kind::disconnected));
        return;
    }
    switch (error->kind()) {
        case rfb::RFBError::Kind::credentialsRequired:
            setState(State::needsCredentials(error->credentialKind(), false));
            break;
        case rfb::RFBError::Kind::authenticationFailed:
            setState(State::needsCredentials(credentials_ && !credentials_->username.empty()
                                                 ? rfb::RFBCredentialKind::usernameAndPassword
                                                 : rfb::RFBCredentialKind::password,
                                             true));
            break;
        case rfb::RFBError::Kind::identityNotTrusted:
        case rfb::RFBError::Kind::identityChanged:
            // What it was checked against, looked up again: forgotten meanwhile, there is nothing
            // it replaces.
            setState(
                State::needsTrust(*error->identity(),
                                  error->kind() == rfb::RFBError::Kind::identityChanged
                                      ? identities_.identity(IdentityStore::serverKey(connection_))
                                      : std::nullopt));
            break;
        default:
            // Some descriptions carry the server's own words.
            setState(
                State::failed(displayText(QString::fromStdString(error->errorDescription()), 240)));
            break;
    }
}

// ---- Options and input ----------------------------------------------------------------------

void VNCSession::setOptions(const ConnectionOptions& options) {
    const ConnectionOptions old = options_;
    options_ = options;
    if (options_ != old) {
        emit optionsChanged();
    }
    if (options_.quality != old.quality && client_) {
        if (clientCalls_) {
            clientCalls_(QStringLiteral("quality %1").arg(int(options_.quality)));
        }
        client_->setQuality(options_.quality);
    }
    if (options_.observeOnly && !old.observeOnly) {
        releaseAllKeys();
    }
    // Resizing the remote desktop is control too, which observing gives up.
    remoteResize_.setEnabled(options_.resizeRemote && !options_.observeOnly);
    connection_.options = options_;
    if (store_.isSaved(id_)) {
        store_.upsert(connection_);
    }
    updateDerived();
}

ScalingMode VNCSession::scaling() const {
    return remoteFollowsWindow() ? ScalingMode::actualSize : options_.scaling;
}

void VNCSession::setViewSize(QSize devicePixels) {
    remoteResize_.setWindowSize(devicePixels);
}

void VNCSession::pointer(int x, int y, std::uint8_t buttons) {
    if (acceptsInput() && client_) {
        client_->sendPointer(x, y, buttons);
    }
}

void VNCSession::keyPress(const KeyRecord& key) {
    if (acceptsInput() && client_) {
        syncLocalClipboardIfChanged();
        sendKeys(keyboard_.press(key, keyboardContext()));
    }
}

void VNCSession::keyRelease(const KeyRecord& key) {
    if (acceptsInput() && client_) {
        sendKeys(keyboard_.release(key, keyboardContext()));
    }
}

void VNCSession::releaseAllKeys() {
    const std::vector<KeyAction> held = keyboard_.releaseAll();
    if (client_) {
        sendKeys(held);
    }
}

void VNCSession::sendKeys(const std::vector<KeyAction>& keys) {
    for (const KeyAction& action : keys) {
        if (clientCalls_) {
            clientCalls_(QStringLiteral("key %1 %2")
                             .arg(action.keysym, 0, 16)
                             .arg(action.down ? "down" : "up"));
        }
        client_->sendKey(action.keysym, action.down, action.xtCode);
    }
}

void VNCSession::send(RemoteShortcut shortcut) {
    if (acceptsInput() && client_) {
        sendKeys(keySequence(shortcut, keyboardContext()));
    }
}

void VNCSession::typeText(const QString& text) {
    if (acceptsInput() && client_) {
        sendKeys(typingSequence(text));
    }
}

void VNCSession::typePassword() {
    if (canTypePassword() && client_) {
        sendKeys(typingSequence(QString::fromStdString(credentials_->password)));
    }
}

void VNCSession::refreshScreen() {
    if (state_.kind == State::Kind::connected && client_) {
        client_->requestFullUpdate();
    }
}

// ---- Clipboard ------------------------------------------------------------------------------

void VNCSession::syncLocalClipboardIfChanged() {
    if (options_.shareClipboard && acceptsInput()) {
        clipboardSync_.offerIfChanged();
    }
}

void VNCSession::sendClipboardText(const QString& text) {
    if (!client_) {
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    if (clientCalls_) {
        clientCalls_(QStringLiteral("clipboard ") + text);
    }
    client_->sendClipboard(std::string_view(utf8.constData(), std::size_t(utf8.size())));
}

void VNCSession::sendClipboard() {
    if (state_.kind == State::Kind::connected) {
        clipboardSync_.sendLocal();
    }
}

void VNCSession::getClipboard() {
    clipboardSync_.takeRemote();
}

// ---- Images ---------------------------------------------------------------------------------

// After the client's teardown, from the last frame that it left: saved in the background, a frame
// of the client's would be a store held for a while, which the client would have to replace.
void VNCSession::saveThumbnail() {
    if (!lastFrame_.isNull() && AppSettings::saveThumbnails()) {
        store_.saveThumbnail(lastFrame_, id_);
    }
}

}  // namespace tessaral
