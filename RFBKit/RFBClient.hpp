#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AutomaticQuality.hpp"
#include "Decoders.hpp"
#include "Framebuffer.hpp"
#include "RFBConfiguration.hpp"
#include "RFBEventStream.hpp"
#include "RFBInput.hpp"

namespace rfb {

// A frame with the areas that changed since the frame handed out before it.
struct RFBFrame {
    RFBImage image;
    // Everything after a resize and with the first frame; empty when nothing changed. Areas may
    // overlap and may cover unchanged pixels, but never miss a changed one.
    std::vector<RFBRect> damage;
};

// What changed in the frames since a viewer last took, and the size of the newest.
struct RFBDamage {
    int width = 0;
    int height = 0;
    // As in RFBFrame.
    std::vector<RFBRect> areas;
};

// One connection attempt to a VNC server. Single-use: start() once, watch events(), stop() or
// destroy it. No operation blocks on the network, and destroying a client never waits for its
// receive thread; the thread winds down on its own and releases everything it holds.
class RFBClient {
  public:
    explicit RFBClient(RFBConfiguration configuration);
    ~RFBClient();
    RFBClient(const RFBClient&) = delete;
    RFBClient& operator=(const RFBClient&) = delete;

    void start();
    void stop();

    RFBEventStream& events();
    const RFBConfiguration& configuration() const;

    std::optional<RFBImage> takeFrame();
    // The newest frame with what changed since the last call of this (takeFrame() leaves that
    // untouched), so a viewer that keeps a copy of what it was handed needs to refresh only
    // those areas. Frames it never took are folded into the damage of the next.
    std::optional<RFBFrame> takeFrameWithDamage();
    // For a viewer that holds no frame between paints: what changed since the last take of
    // either kind, and the newest frame's size, without the frame. A paint after it may find a
    // newer frame, whose further changes come with the next take.
    std::optional<RFBDamage> takeDamage();
    // The newest frame, for one paint. Painting it never costs a store of its own, where holding
    // a taken frame may (see RFBImage::Paint).
    std::optional<RFBImage::Paint> paintFrame();
    // With the physical key's XT scan code (0 when unknown), servers that accept QEMU's extended
    // key events get the key itself, whatever their keyboard layout; the keysym is the fallback.
    void sendKey(std::uint32_t key, bool down, std::uint32_t xtCode = 0);
    void sendPointer(long x, long y, std::uint8_t buttons);
    void sendClipboard(std::string_view utf8);
    // Answers the gateway's event::GatewayPrompt; stop() is declining it.
    void answerGatewayPrompt(const std::string& answer);
    // Only after the server sent a DesktopLayout with screens; the answer is another.
    void requestDesktopSize(long width, long height, const std::vector<RFBScreen>& screens);
    void setQuality(RFBQuality quality);
    void requestFullUpdate();

    struct Statistics {
        std::uint64_t updates = 0;
        // Updates since the one that first left every pixel painted, counting it; none while
        // parts of the screen were never sent since connecting or the last resize. A server may
        // send its screen in several updates, the first of them holding no pixels at all.
        std::uint64_t completeUpdates = 0;
        std::uint64_t bytesReceived = 0;
        DecodeStatistics decoding;
        // The server sends updates without being asked for each.
        bool continuousUpdates = false;
        // The link's throughput as the automatic preset estimates it (0 before it could), and
        // the JPEG level it asks for while that preset is chosen.
        double kilobitsPerSecond = 0;
        int automaticLevel = AutomaticQuality::initialLevel;
    };
    Statistics statistics() const;

    // The encodings announced in SetEncodings for a quality, in order of preference; with the
    // automatic preset, for the JPEG level it chose.
    static std::vector<std::int32_t> encodings(RFBQuality quality, bool localCursor,
                                               int automaticLevel = AutomaticQuality::initialLevel);

    struct Core;

  private:
    friend struct RFBClientTesting;
    std::shared_ptr<Core> core_;
};

// Seams for tests only; not part of the public configuration.
struct RFBClientTesting {
    // Replaces the announced encodings (before start), e.g. to force one encoding.
    static void setEncodings(RFBClient& client, std::vector<std::int32_t> encodings);
    // Runs the handshake and message loop on the calling thread over `input` instead of a
    // connection (sends are dropped) until the session ends; events go to the client's stream.
    static void runOn(RFBClient& client, RFBInput& input);
};

}  // namespace rfb
