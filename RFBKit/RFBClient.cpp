#include "RFBClient.hpp"

#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>
#include <utility>

#include "Authentication.hpp"
#include "ClientMessage.hpp"
#include "Decoders.hpp"
#include "ExtendedClipboard.hpp"
#include "Log.hpp"
#include "MessageTypes.hpp"
#include "RFBInput.hpp"
#include "Security.hpp"
#include "Text.hpp"
#include "Transport.hpp"
#include "UpdateFlow.hpp"

namespace rfb {

namespace {

constexpr std::uint32_t maxReasonLength = 65'536;
constexpr std::uint32_t maxNameLength = 4'096;
constexpr std::uint32_t maxCutTextLength = ExtendedClipboard::textLimit;
constexpr int appleMinorVersion = 889;
// How long nothing arrives before the screen counts as still.
constexpr std::chrono::milliseconds stillness{1000};

// Parses like a plain decimal integer with an optional sign; none for anything else.
std::optional<long> parseDecimal(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    long value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// The characters (not bytes) of a UTF-8 text, each as its own UTF-8 piece.
std::vector<std::string_view> characters(std::string_view utf8) {
    std::vector<std::string_view> result;
    std::size_t start = 0;
    for (std::size_t i = 1; i <= utf8.size(); ++i) {
        if (i == utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
            result.push_back(utf8.substr(start, i - start));
            start = i;
        }
    }
    return result;
}

std::string joined(const std::vector<std::string_view>& chars, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to && i < chars.size(); ++i) {
        out += chars[i];
    }
    return out;
}

std::string trimmed(std::string_view text) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && space(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

std::string readReason(RFBInput& input) {
    std::uint32_t length = input.u32();
    if (length > maxReasonLength) {
        throw RFBError::protocolViolation("string length " + std::to_string(length));
    }
    input.ensure(length);
    std::string reason = utf8WithReplacement({input.data(), length});
    input.advance(length);
    return reason;
}

bool contains(const std::vector<std::uint8_t>& types, std::uint8_t type) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

}  // namespace

struct RFBClient::Core : SecurityChannel {
    struct Shared {
        std::optional<RFBImage> latestFrame;
        // Since the last takeFrameWithDamage or takeDamage; reserved for maxRects + 1 so that
        // adding never allocates under the lock.
        std::vector<RFBRect> damage;
        bool framePending = false;
        bool stopped = false;
        std::optional<RFBQuality> pendingQuality;
        bool fullUpdateRequested = false;
        // The server acknowledged QEMU's extended key events.
        bool extendedKeys = false;
        // Set by ServerInit; input waits for it, since in the middle of the handshake the server
        // would read it as handshake data.
        long framebufferWidth = 0;
        long framebufferHeight = 0;
        bool started = false;
        std::uint64_t updates = 0;
        std::uint64_t completeUpdates = 0;
        DecodeStatistics decoding;
        bool continuousUpdates = false;
        double kilobitsPerSecond = 0;
        int automaticLevel = AutomaticQuality::initialLevel;
    };

    // What SetEncodings said, by what decides the list, so that no list is built per update.
    struct Announcement {
        RFBQuality quality;
        int automaticLevel;  // 0 for the other presets
        bool operator==(const Announcement&) const = default;
        bool lossy() const {
            return quality == RFBQuality::automatic && automaticLevel != AutomaticQuality::lossless;
        }
    };

    explicit Core(RFBConfiguration c)
        : configuration(std::move(c)),
          encodings(RFBClient::encodings(configuration.quality, configuration.localCursor)),
          announced(announcement(configuration.quality)) {
        shared.damage.reserve(maxRects + 1);
    }

    void run();
    void runOn(RFBInput& input);
    void session(RFBInput& input);
    template <typename Body>
    void endingWithFailure(Body body);
    RFBInput open();
    // The name a server's certificate must carry.
    std::string serverName() const;
    RFBServerInfo handshake(RFBInput& input);
    [[noreturn]] void messageLoop(RFBInput& input, const RFBServerInfo& info);
    void readUpdate(RFBInput& input, RectangleDecoder& decoder, Framebuffer& framebuffer,
                    DecodeStatistics& decoding);
    void publishFrame(Framebuffer& framebuffer, DecodeStatistics* counted = nullptr,
                      bool resized = false);
    void follow(const UpdateFlow::Step& step, RectangleDecoder& decoder);
    void refreshLossyWhenStill();
    // The SetEncodings that says it.
    std::vector<std::uint8_t> announceEncodings(const Announcement& announcement);
    void answerFence(RFBInput& input);
    void finish(std::optional<RFBError> error);
    void send(std::span<const std::uint8_t> bytes) override { stream->send(bytes); }
    RFBInput& input() override { return *reader; }
    void filterThrough(const MakeFilter& make) override;
    void endFilter() override;
    bool established();
    // With the lock held: hands over the damage gathered since the last take, in exchange for
    // `areas` (reserved, so that nothing allocates under the lock); false before the first frame.
    bool swapDamage(std::vector<RFBRect>& areas) {
        if (!shared.latestFrame) {
            return false;
        }
        shared.framePending = false;
        areas.swap(shared.damage);
        return true;
    }
    void readCutText(RFBInput& input);
    Announcement announcement(RFBQuality quality) const {
        return {quality, quality == RFBQuality::automatic ? automatic.level() : 0};
    }

    RFBConfiguration configuration;
    AutomaticQuality automatic;
    std::vector<std::int32_t> encodings;
    Announcement announced;
    bool encodingsFixed = false;  // by a test, whatever the quality
    RFBEventStream events;
    TCPConnection connection;
    // What messages are read from and written to: the connection, or the filter a security type
    // put over it. Changed only during the handshake, before input may be sent from elsewhere.
    RFBInput* reader = nullptr;
    RFBStream* stream = &connection;
    std::vector<std::unique_ptr<RFBInput>> filterInputs;
    std::vector<std::unique_ptr<RFBStream>> filters;
    std::mutex lock;
    Shared shared;
    ExtendedClipboard clipboard;
    // Decoder thread only: whether the last update request sent was for the whole screen, and
    // how updates are asked for.
    bool fullUpdateAsked = false;
    UpdateFlow flow;
    // Decoder thread only: the areas last sent as JPEG, and when the newest of them came.
    std::vector<RFBRect> lossy;
    std::chrono::steady_clock::time_point lastLossy;
};

RFBClient::RFBClient(RFBConfiguration configuration)
    : core_(std::make_shared<Core>(std::move(configuration))) {}

RFBClient::~RFBClient() {
    stop();
}

void RFBClient::start() {
    {
        std::lock_guard lock(core_->lock);
        if (core_->shared.started) {
            return;
        }
        core_->shared.started = true;
    }
    core_->events.send(event::Status{RFBStatus::connecting});
    try {
        // The thread shares ownership of the core, so destroying the client never waits for it.
        std::thread([core = core_] {
            // Named so that profilers and the viewer benchmark can tell decoding from drawing.
            pthread_setname_np(pthread_self(), "rfb-decoder");
            core->run();
        }).detach();
    } catch (const std::system_error& error) {
        core_->finish(RFBError::connectionFailed(error.what()));
    }
}

void RFBClient::stop() {
    {
        std::lock_guard lock(core_->lock);
        core_->shared.stopped = true;
    }
    core_->connection.cancel();
}

RFBEventStream& RFBClient::events() {
    return core_->events;
}

const RFBConfiguration& RFBClient::configuration() const {
    return core_->configuration;
}

std::optional<RFBImage> RFBClient::takeFrame() {
    std::lock_guard lock(core_->lock);
    core_->shared.framePending = false;
    return core_->shared.latestFrame;
}

std::optional<RFBFrame> RFBClient::takeFrameWithDamage() {
    std::vector<RFBRect> fresh;
    fresh.reserve(maxRects + 1);
    std::lock_guard lock(core_->lock);
    if (!core_->swapDamage(fresh)) {
        return std::nullopt;
    }
    return RFBFrame{*core_->shared.latestFrame, std::move(fresh)};
}

std::optional<RFBDamage> RFBClient::takeDamage() {
    RFBDamage taken;
    taken.areas.reserve(maxRects + 1);
    std::lock_guard lock(core_->lock);
    if (!core_->swapDamage(taken.areas)) {
        return std::nullopt;
    }
    taken.width = core_->shared.latestFrame->width();
    taken.height = core_->shared.latestFrame->height();
    return taken;
}

// Under the lock: a copy of the frame held for a moment outside it would look to the decoder like
// a viewer holding on to it, which would cost a store.
std::optional<RFBImage::Paint> RFBClient::paintFrame() {
    std::lock_guard lock(core_->lock);
    if (!core_->shared.latestFrame) {
        return std::nullopt;
    }
    return RFBImage::Paint(*core_->shared.latestFrame);
}

void RFBClient::sendKey(std::uint32_t key, bool down, std::uint32_t xtCode) {
    bool extended;
    {
        std::lock_guard lock(core_->lock);
        if (core_->shared.framebufferWidth <= 0) {
            return;
        }
        extended = core_->shared.extendedKeys && xtCode != 0;
    }
    core_->send(extended ? ClientMessage::qemuKeyEvent(key, down, xtCode)
                         : ClientMessage::keyEvent(key, down));
}

void RFBClient::sendPointer(long x, long y, std::uint8_t buttons) {
    long width, height;
    {
        std::lock_guard lock(core_->lock);
        width = core_->shared.framebufferWidth;
        height = core_->shared.framebufferHeight;
    }
    if (width < 1) {
        return;
    }
    core_->send(ClientMessage::pointerEvent(buttons, std::clamp(x, 0L, width - 1),
                                            std::clamp(y, 0L, height - 1)));
}

void RFBClient::sendClipboard(std::string_view utf8) {
    if (core_->established()) {
        core_->send(core_->clipboard.offer(utf8));
    }
}

void RFBClient::requestDesktopSize(long width, long height, const std::vector<RFBScreen>& screens) {
    if (core_->established()) {
        core_->send(ClientMessage::setDesktopSize(width, height, screens));
    }
}

void RFBClient::answerGatewayPrompt(const std::string& answer) {
    core_->connection.answerPrompt(answer);
}

void RFBClient::setQuality(RFBQuality quality) {
    std::lock_guard lock(core_->lock);
    core_->shared.pendingQuality = quality;
}

void RFBClient::requestFullUpdate() {
    std::lock_guard lock(core_->lock);
    core_->shared.fullUpdateRequested = true;
}

RFBClient::Statistics RFBClient::statistics() const {
    std::lock_guard lock(core_->lock);
    return {core_->shared.updates,
            core_->shared.completeUpdates,
            core_->connection.bytesReceived(),
            core_->shared.decoding,
            core_->shared.continuousUpdates,
            core_->shared.kilobitsPerSecond,
            core_->shared.automaticLevel};
}

std::vector<std::int32_t> RFBClient::encodings(RFBQuality quality, bool localCursor,
                                               int automaticLevel) {
    using namespace RFBEncoding;
    // Lossless Tight (no JPEG quality is asked for) decodes about as cheaply as ZRLE, cheaper on
    // moving and photo-like content, and takes fewer bytes there. The smaller formats are for
    // slower links: the server may spend more time compressing.
    std::vector<std::int32_t> list{tight, zrle,        hextile,  rre,   copyRect,
                                   raw,   desktopSize, lastRect, fence, continuousUpdates};
    if (quality == RFBQuality::automatic && automaticLevel != AutomaticQuality::lossless) {
        list.push_back(jpegQuality0 + automaticLevel);
    }
    if (quality == RFBQuality::thousands || quality == RFBQuality::low) {
        list.push_back(compressionLevel0 + (quality == RFBQuality::thousands ? 4 : 6));
    }
    if (localCursor) {
        list.push_back(cursor);
    }
    list.push_back(extendedClipboard);
    list.push_back(extendedDesktopSize);
    list.push_back(qemuExtendedKeyEvent);
    return list;
}

void RFBClientTesting::runOn(RFBClient& client, RFBInput& input) {
    client.core_->runOn(input);
}

void RFBClientTesting::setEncodings(RFBClient& client, std::vector<std::int32_t> encodings) {
    client.core_->encodings = std::move(encodings);
    client.core_->encodingsFixed = true;
}

bool RFBClient::Core::established() {
    std::lock_guard guard(lock);
    return shared.framebufferWidth > 0;
}

void RFBClient::Core::run() {
    endingWithFailure([this] {
        RFBInput input = open();
        session(input);
    });
}

void RFBClient::Core::runOn(RFBInput& input) {
    endingWithFailure([&] { session(input); });
}

void RFBClient::Core::session(RFBInput& input) {
    reader = &input;
    RFBServerInfo info = handshake(input);
    messageLoop(input, info);
}

// Whatever ends the session becomes the one final `disconnected` event.
template <typename Body>
void RFBClient::Core::endingWithFailure(Body body) {
    try {
        body();
    } catch (const Cancelled&) {
        finish(std::nullopt);
    } catch (const RFBError& error) {
        finish(error);
    } catch (const std::exception& error) {
        finish(RFBError::connectionFailed(error.what()));
    }
}

void RFBClient::Core::filterThrough(const MakeFilter& make) {
    // The filter does not exist until `make` has run its handshake, so the reader above it finds
    // it through a slot filled afterwards.
    auto above = std::make_shared<RFBStream*>();
    filterInputs.push_back(std::make_unique<RFBInput>(reader->divert(
        [above](std::span<std::uint8_t> space) { return (*above)->receive(space); })));
    filters.push_back(make(*filterInputs.back(), *stream));
    *above = stream = filters.back().get();
}

void RFBClient::Core::endFilter() {
    const std::unique_ptr<RFBInput> below = std::move(filterInputs.back());
    filterInputs.pop_back();
    filters.pop_back();
    stream = filters.empty() ? &connection : filters.back().get();
    *reader = std::move(*below);
}

void RFBClient::Core::finish(std::optional<RFBError> error) {
    bool stopped;
    {
        std::lock_guard guard(lock);
        stopped = shared.stopped;
    }
    if (stopped || connection.isCancelled()) {
        error.reset();
    }
    if (error) {
        log(LogLevel::error, "Disconnected: " + error->errorDescription());
    }
    connection.close();
    events.send(event::Disconnected{std::move(error)});
}

RFBInput RFBClient::Core::open() {
    auto timeout = std::chrono::duration_cast<std::chrono::seconds>(configuration.connectTimeout);
    auto receive = [this](std::span<std::uint8_t> space) { return connection.receive(space); };
    if (const auto* service = std::get_if<RFBEndpoint::Bonjour>(&configuration.endpoint.value)) {
        connection.openService(service->name, service->type, service->domain, timeout);
        return RFBInput(receive);
    }
    const auto& host = std::get<RFBEndpoint::Host>(configuration.endpoint.value);
    // A NUL would silently cut the name short in the resolver.
    if (host.host.empty() || host.host.find('\0') != std::string::npos) {
        throw RFBError::invalidAddress(configuration.endpoint.rendering());
    }
    auto port = static_cast<std::uint16_t>(std::clamp(host.port, 0L, 65535L));
    if (configuration.gateway) {
        connection.openThroughGateway(
            *configuration.gateway, host.host, port, timeout,
            [this](event::GatewayPrompt prompt) { events.send(std::move(prompt)); });
    } else {
        connection.open(host.host, port, timeout);
    }
    return RFBInput(receive);
}

std::string RFBClient::Core::serverName() const {
    if (const auto* service = std::get_if<RFBEndpoint::Bonjour>(&configuration.endpoint.value)) {
        return service->name;
    }
    return std::get<RFBEndpoint::Host>(configuration.endpoint.value).host;
}

RFBServerInfo RFBClient::Core::handshake(RFBInput& input) {
    input.ensure(12);
    std::string version = utf8WithReplacement({input.data(), 12});
    input.advance(12);
    auto chars = characters(version);
    std::optional<long> major, minor;
    if (version.starts_with("RFB ") && version.ends_with("\n")) {
        major = parseDecimal(joined(chars, 4, 7));
        minor = parseDecimal(joined(chars, 8, 11));
    }
    if (!major || !minor || *major != 3 || *minor < 3) {
        throw RFBError::unsupportedVersion(trimmed(version));
    }
    long answer = *minor >= 8 ? 8 : *minor == 7 ? 7 : 3;
    char reply[13];
    std::snprintf(reply, sizeof reply, "RFB 003.%03ld\n", answer);
    send(std::vector<std::uint8_t>(reply, reply + 12));
    events.send(event::Status{RFBStatus::authenticating});

    bool isApple = false;
    std::uint8_t type;
    if (*minor >= 7) {
        std::uint8_t count = input.u8();
        if (count == 0) {
            throw RFBError::serverRefused(readReason(input));
        }
        input.ensure(count);
        std::vector<std::uint8_t> types(input.data(), input.data() + count);
        input.advance(count);
        isApple =
            *minor == appleMinorVersion || contains(types, RFBSecurityType::appleRemoteDesktop);
        type = chooseSecurityType(types, configuration);
        send(std::array{type});
    } else {
        std::uint32_t chosen = input.u32();
        if (chosen == 0) {
            throw RFBError::serverRefused(readReason(input));
        }
        if (chosen > 255) {
            throw RFBError::noSupportedSecurityType({});
        }
        type = static_cast<std::uint8_t>(chosen);
    }
    const SecurityOutcome security = runSecurity(type, *this, configuration, serverName());

    if (*minor >= 8 || security.authenticatedBy != RFBSecurityType::none) {
        if (input.u32() != 0) {
            throw RFBError::authenticationFailed(*minor >= 8 ? readReason(input) : std::string());
        }
    }

    send(std::array{std::uint8_t{configuration.shared}});
    long width = input.u16();
    long height = input.u16();
    input.skip(16);  // the server's pixel format: the client imposes its own
    std::uint32_t nameLength = input.u32();
    if (nameLength > maxNameLength) {
        throw RFBError::protocolViolation("string length " + std::to_string(nameLength));
    }
    input.ensure(nameLength);
    std::string name = utf8WithReplacement({input.data(), nameLength});
    input.advance(nameLength);
    connection.endDeadline();
    {
        std::lock_guard guard(lock);
        shared.framebufferWidth = width;
        shared.framebufferHeight = height;
    }
    RFBProtection protection = security.protection;
    if (configuration.gateway) {
        protection.gateway = configuration.gateway->destination;
    }
    return {name, width, height, "3." + std::to_string(*minor), isApple, std::move(protection)};
}

void RFBClient::Core::messageLoop(RFBInput& input, const RFBServerInfo& info) {
    Framebuffer framebuffer(static_cast<int>(info.width), static_cast<int>(info.height));
    RectangleDecoder decoder(pixelFormat(configuration.quality));
    send(ClientMessage::setPixelFormat(decoder.format()));
    send(ClientMessage::setEncodings(encodings));
    send(ClientMessage::framebufferUpdateRequest(false, 0, 0, framebuffer.width(),
                                                 framebuffer.height()));
    fullUpdateAsked = true;
    events.send(event::Connected{info});
    publishFrame(framebuffer);
    connection.setIdleHandler(stillness, [this] { refreshLossyWhenStill(); });
    struct IdleHandlerGuard {
        TCPConnection& connection;
        ~IdleHandlerGuard() { connection.setIdleHandler({}, nullptr); }
    } guard{connection};

    DecodeStatistics decoding;
    for (;;) {
        if (connection.isCancelled()) {
            throw Cancelled();
        }
        std::uint8_t type = input.u8();
        switch (type) {
            case ServerMessageType::framebufferUpdate:
                readUpdate(input, decoder, framebuffer, decoding);
                break;
            case ServerMessageType::setColourMapEntries: {
                input.skip(3);  // padding and first colour
                std::uint16_t colours = input.u16();
                input.skip(std::size_t{colours} * 6);
                break;
            }
            case ServerMessageType::bell:
                events.send(event::Bell{});
                break;
            case ServerMessageType::serverCutText:
                readCutText(input);
                break;
            case ServerMessageType::endOfContinuousUpdates:
                follow(flow.endOfContinuousUpdates(framebuffer.width(), framebuffer.height()),
                       decoder);
                break;
            case ServerMessageType::fence:
                answerFence(input);
                break;
            default:
                throw RFBError::protocolViolation("message type " + std::to_string(type));
        }
    }
}

void RFBClient::Core::follow(const UpdateFlow::Step& step, RectangleDecoder& decoder) {
    if (step.format) {
        decoder.setFormat(*step.format);
    }
    {
        // Before the messages go: a server's answer to them must find the state they made.
        std::lock_guard guard(lock);
        shared.continuousUpdates = flow.continuous();
    }
    if (!step.messages.empty()) {
        send(step.messages);
    }
}

// A server need not send again what it sent as JPEG once the screen holds still (Xvnc 1.12
// did not within 30 s), so the client asks for those areas itself, losslessly, once no JPEG has
// come for a while. The next update brings the automatic level back, as readUpdate then finds
// it differs from what was announced.
void RFBClient::Core::refreshLossyWhenStill() {
    if (lossy.empty() || std::chrono::steady_clock::now() - lastLossy < stillness ||
        encodingsFixed || !announced.lossy() || !flow.formatMayChange()) {
        return;
    }
    std::vector<std::uint8_t> messages =
        announceEncodings({RFBQuality::automatic, AutomaticQuality::lossless});
    for (const RFBRect& rect : std::exchange(lossy, {})) {
        const auto request =
            ClientMessage::framebufferUpdateRequest(false, rect.x, rect.y, rect.width, rect.height);
        messages.insert(messages.end(), request.begin(), request.end());
    }
    send(messages);
}

std::vector<std::uint8_t> RFBClient::Core::announceEncodings(const Announcement& announcement) {
    encodings = RFBClient::encodings(announcement.quality, configuration.localCursor,
                                     announcement.automaticLevel);
    announced = announcement;
    return ClientMessage::setEncodings(encodings);
}

void RFBClient::Core::answerFence(RFBInput& input) {
    input.skip(3);
    const std::uint32_t flags = input.u32();
    const std::uint8_t length = input.u8();
    if (length > maxFencePayload) {
        throw RFBError::protocolViolation("fence length " + std::to_string(length));
    }
    input.ensure(length);
    if (flags & FenceFlag::request) {
        // Messages are handled strictly in order, which is all that the ordering flags ask for.
        constexpr std::uint32_t honoured =
            FenceFlag::blockBefore | FenceFlag::blockAfter | FenceFlag::syncNext;
        send(ClientMessage::fence(flags & honoured, {input.data(), length}));
    }
    input.advance(length);
}

void RFBClient::Core::readCutText(RFBInput& input) {
    input.skip(3);
    const std::uint32_t word = input.u32();
    // A negative length marks the extended clipboard; its magnitude is the payload's.
    const bool extended = word & 0x8000'0000u;
    const std::uint32_t length = extended ? 0u - word : word;
    if (length > maxCutTextLength) {
        throw RFBError::protocolViolation("clipboard length " + std::to_string(length));
    }
    input.ensure(length);
    std::span<const std::uint8_t> bytes(input.data(), length);
    if (!extended) {
        std::string text = latin1ToUTF8(bytes);
        input.advance(length);
        events.send(event::Clipboard{std::move(text)});
        return;
    }
    ExtendedClipboard::Outcome outcome = clipboard.receive(bytes);
    input.advance(length);
    if (!outcome.reply.empty()) {
        send(outcome.reply);
    }
    if (outcome.text) {
        events.send(event::Clipboard{std::move(*outcome.text)});
    }
}

void RFBClient::Core::readUpdate(RFBInput& input, RectangleDecoder& decoder,
                                 Framebuffer& framebuffer, DecodeStatistics& decoding) {
    // From the update's first byte: waiting for it was idleness, not the link.
    const auto began = std::chrono::steady_clock::now();
    const std::uint64_t consumed = input.consumed();
    bool resized = false;
    std::vector<RFBRect> lossyInUpdate;
    UpdateObserver observer{
        .cursor =
            [this](std::optional<RFBCursor> cursor) {
                events.send(event::Cursor{std::move(cursor)});
            },
        .desktopResized =
            [this, &resized] {
                resized = true;
                std::lock_guard guard(lock);
                shared.fullUpdateRequested = true;
            },
        .statistics = &decoding,
        .desktopLayout = [this](event::DesktopLayout layout) { events.send(std::move(layout)); },
        .extendedKeys =
            [this] {
                std::lock_guard guard(lock);
                shared.extendedKeys = true;
            },
        .lossy = &lossyInUpdate,
    };
    readFramebufferUpdate(input, decoder, framebuffer, observer);
    const auto ended = std::chrono::steady_clock::now();
    automatic.measured(input.consumed() - consumed,
                       std::chrono::duration<double>(ended - began).count());
    if (!lossyInUpdate.empty()) {
        for (const RFBRect& rect : lossyInUpdate) {
            addRect(lossy, rect);
        }
        lastLossy = ended;
    }
    // Copied here and swapped in, so that the critical section never allocates.
    DecodeStatistics published = decoding;
    publishFrame(framebuffer, &published, resized);

    std::optional<RFBQuality> quality;
    bool full;
    {
        std::lock_guard guard(lock);
        // A quality asked for while a change of format is under way waits for its end.
        if (flow.formatMayChange()) {
            quality = std::exchange(shared.pendingQuality, std::nullopt);
        }
        full = shared.fullUpdateRequested;
        shared.fullUpdateRequested = false;
        shared.framebufferWidth = framebuffer.width();
        shared.framebufferHeight = framebuffer.height();
        shared.kilobitsPerSecond = automatic.kilobitsPerSecond();
        shared.automaticLevel = automatic.level();
    }
    std::optional<PixelFormat> format;
    if (quality && pixelFormat(*quality) != decoder.format()) {
        format = pixelFormat(*quality);
        full = true;
    }
    const Announcement wanted = announcement(quality.value_or(announced.quality));
    const bool announce = !encodingsFixed && flow.formatMayChange() && wanted != announced;
    if (announce && announced.lossy() && !wanted.lossy()) {
        // What was shown lossily stays so until it changes, unless asked for again.
        full = true;
        lossy.clear();
    }
    // Before the request, so that the update it asks for comes in the new encodings...
    if (announce && !format) {
        send(announceEncodings(wanted));
    }
    follow(flow.afterUpdate(framebuffer.width(), framebuffer.height(), full, resized, format),
           decoder);
    // ...but after a pause of continuous updates, so that an EndOfContinuousUpdates a server
    // might send for new encodings cannot be taken for the one that marks where the new format
    // starts.
    if (announce && format) {
        send(announceEncodings(wanted));
    }
    // A full update is mostly followed by small ones, each of which would first wait for the
    // rest of the full frame to be copied into the store it moves to. That copy is made now,
    // while the request just sent takes its round trip.
    if (std::exchange(fullUpdateAsked, full)) {
        framebuffer.prepareNextStore();
    }
    refreshLossyWhenStill();
}

// The frame and the statistics of the update that made it change together, so that a viewer
// never finds an update counted whose frame it cannot take, or the other way round.
void RFBClient::Core::publishFrame(Framebuffer& framebuffer, DecodeStatistics* counted,
                                   bool resized) {
    std::optional<RFBImage> image = framebuffer.makeImage();
    if (!image) {
        return;
    }
    const std::vector<RFBRect> written = framebuffer.takeWritten();
    bool wasPending;
    {
        std::lock_guard guard(lock);
        if (resized) {
            // Older areas may lie outside the new size; the new screen is damaged whole anyway.
            shared.damage.clear();
        }
        for (const RFBRect& rect : written) {
            addRect(shared.damage, rect);
        }
        if (counted) {
            shared.updates += 1;
            // A resize starts a new screen, even one that the same update paints whole.
            std::uint64_t before = resized ? 0 : shared.completeUpdates;
            shared.completeUpdates = framebuffer.complete() ? before + 1 : 0;
            shared.decoding.swap(*counted);
        }
        shared.latestFrame = std::move(image);
        wasPending = shared.framePending;
        shared.framePending = true;
    }
    if (!wasPending) {
        events.send(event::FrameAvailable{});
    }
}

}  // namespace rfb
