#include <gtest/gtest.h>

#include <numeric>

#include "ClientMessage.hpp"
#include "FakeServer.hpp"
#include "TestData.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

Bytes update(std::initializer_list<Bytes> rectangles) {
    return std::accumulate(rectangles.begin(), rectangles.end(),
                           Bytes{0, 0}.u16(unsigned(rectangles.size())));
}

// A raw rectangle of one grey.
Bytes raw(int x, int y, int width, int height, std::uint8_t grey = 0x20) {
    return rect(x, y, width, height, 0).repeat(std::size_t(width) * height * 4, grey);
}

Bytes setEncodings(RFBQuality quality, int automaticLevel = AutomaticQuality::initialLevel) {
    return Bytes().raw(
        ClientMessage::setEncodings(RFBClient::encodings(quality, true, automaticLevel)));
}

Bytes request(bool incremental, unsigned width = 4, unsigned height = 4) {
    return Bytes{3, incremental}.u16(0).u16(0).u16(width).u16(height);
}

}  // namespace

TEST(MessageLoop, OneFrameAvailablePerBatchAndNewestFrameWins) {
    Session session;
    auto& client = session.client;
    ASSERT_TRUE(waitFor<event::FrameAvailable>(client));  // the initial black frame
    // Three updates land without a frame being taken; each request follows its update.
    for (std::uint8_t grey = 1; grey <= 3; ++grey) {
        session.answer(update({raw(0, 0, 4, 4, grey)}));
    }
    EXPECT_FALSE(client.events().tryNext()) << "frameAvailable while one was outstanding";
    auto frame = client.takeFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->pixel(0, 0), 0xFF030303u);
    EXPECT_EQ(client.takeFrame()->words(), frame->words()) << "a second take returns the same";
    session.peer->write(update({raw(0, 0, 4, 4, 4)}));
    ASSERT_TRUE(waitFor<event::FrameAvailable>(client));
    EXPECT_EQ(client.takeFrame()->pixel(3, 3), 0xFF040404u);
}

TEST(MessageLoop, QualityAndFullUpdateRequestsApplyAtTheNextUpdate) {
    Session session;
    session.client.setQuality(RFBQuality::full);  // already in use
    EXPECT_EQ(session.answer(update({})), request(true));
    session.client.setQuality(RFBQuality::low);
    session.client.setQuality(RFBQuality::thousands);  // replaces the earlier request
    auto thousands = PixelFormat::rgb565.encoded();
    // SetPixelFormat before the request, then the quality's encodings.
    const Bytes encodings = setEncodings(RFBQuality::thousands);
    EXPECT_EQ(session.answer(update({}), encodings.size() + 30),
              (Bytes{0, 0, 0, 0}.raw(thousands) + request(false) + encodings));
    EXPECT_EQ(session.answer(update({})), request(true));
    session.client.requestFullUpdate();
    EXPECT_EQ(session.answer(update({})), request(false));
    EXPECT_EQ(session.answer(update({})), request(true));
}

TEST(MessageLoop, DesktopSizeMakesTheNextRequestFullAndMovesThePointerBounds) {
    Session session(1280, 800);
    EXPECT_EQ(session.answer(update({rect(0, 0, 1920, 1080, -223)})), request(false, 1920, 1080));
    session.client.sendPointer(-10, 5000, 1);
    EXPECT_EQ(session.answer({}, 6), (Bytes{5, 1}.u16(0).u16(1079)));
}

// A server may send its screen over several updates (x0vncserver's first holds only the cursor),
// and rectangles may overlap: only a screen whose every pixel was painted counts as complete.
TEST(MessageLoop, UpdatesCountAsCompleteOnceEveryPixelWasPainted) {
    const Bytes resize = rect(0, 0, 4, 4, -223);
    const std::pair<Bytes, std::uint64_t> steps[] = {
        {update({rect(0, 0, 0, 0, -239), rect(0, 0, 0, 0, -224)}), 0},  // cursor, last rectangle
        {update({raw(0, 0, 4, 2)}), 0},
        // Eight pixels twice, as many as the screen lacks, but half of them again.
        {update({raw(0, 0, 4, 2), raw(0, 1, 4, 2)}), 0},
        {update({raw(1, 3, 3, 1), raw(0, 3, 1, 1)}), 1},
        {update({}), 2},
        {update({resize, raw(0, 0, 4, 4)}), 1},
        {update({resize}), 0},
        {update({raw(0, 0, 4, 4)}), 1},
    };
    Session session;
    for (const auto& [message, complete] : steps) {
        session.answer(message);
        EXPECT_EQ(session.client.statistics().completeUpdates, complete)
            << &message - &steps[0].first;
    }
}

TEST(MessageLoop, ClipboardBellAndColourMap) {
    const std::string big(10'485'760, 'x');
    Session session;
    session.peer->write(Bytes{1, 0}.u16(0).u16(2).repeat(12, 0xAB));  // colour map: ignored
    session.peer->write(Bytes{2, 3, 0, 0, 0}.u32(4).raw({'c', 0xE9, 0, 0xFF}));
    session.peer->write(Bytes{3, 0, 0, 0}.u32(std::uint32_t(big.size())).text(big));
    EXPECT_TRUE(waitFor<event::Bell>(session.client));
    EXPECT_EQ(waitFor<event::Clipboard>(session.client).value().text,
              std::string("c\u00E9\0\u00FF", 6));
    EXPECT_EQ(waitFor<event::Clipboard>(session.client).value().text, big);
}

TEST(MessageLoop, InputMessagesReachTheServerInOrder) {
    Session session;
    session.client.sendKey(0xFF0D, true);
    session.client.sendPointer(2, 3, 4);
    session.client.sendClipboard("a\u00FF\u0100");  // the last Latin-1 character, and past it
    const Bytes input = Bytes{4, 1, 0, 0}.u32(0xFF0D).raw({5, 4, 0, 2, 0, 3, 6, 0, 0, 0});
    EXPECT_EQ(session.answer({}, 8 + 6 + 8 + 3), Bytes(input).u32(3).raw({'a', 0xFF, '?'}));
}

TEST(MessageLoop, ServerClosingMidUpdatePublishesNothingOfIt) {
    LogCapture log;
    Session session;
    Bytes half = update({raw(0, 0, 4, 4, 9)});
    session.peer->write(Bytes(half.begin(), half.begin() + long(half.size() / 2)));
    session.peer->hangUp();
    EXPECT_EQ(finalError(drainEvents(session.client)), RFBError::connectionClosed());
    EXPECT_EQ(log.lines().at(0).second, "Disconnected: The remote computer closed the connection.");
    EXPECT_EQ(session.client.takeFrame()->pixel(0, 0), 0xFF000000u);  // the initial black frame
}

// Continuous updates start at the server's first EndOfContinuousUpdates; from then on an update
// asks for nothing, a fence request is answered with its payload, and a quality change pauses
// them so that the new pixel format starts exactly at the server's next EndOfContinuousUpdates.
TEST(MessageLoop, ContinuousUpdatesAndFences) {
    const Bytes endOfContinuous{150};
    const Bytes enable = Bytes{150, 1}.u16(0).u16(0).u16(4).u16(4);
    const Bytes fenceRequest = Bytes{248, 0, 0, 0}.u32(0x8000'0007).u8(3).raw({7, 8, 9});
    const Bytes fenceAnswer = Bytes{248, 0, 0, 0}.u32(7).u8(3).raw({7, 8, 9});
    Session session;
    EXPECT_EQ(session.answer(endOfContinuous), enable);
    EXPECT_EQ(session.answer(update({}) + fenceRequest, fenceAnswer.size()), fenceAnswer);
    EXPECT_TRUE(session.client.statistics().continuousUpdates);

    session.client.setQuality(RFBQuality::thousands);
    const Bytes pause = Bytes{150, 0}.u16(0).u16(0).u16(0).u16(0);
    const Bytes thousands = Bytes{0, 0, 0, 0}.raw(PixelFormat::rgb565.encoded());
    const Bytes encodings = setEncodings(RFBQuality::thousands);
    EXPECT_EQ(session.answer(update({}), 10 + 20 + 10 + 10 + encodings.size()),
              pause + thousands + enable + request(false) + encodings);
    // Sent before the server saw the pause: still four bytes a pixel.
    session.peer->write(update({raw(0, 0, 4, 4, 0x40)}) + endOfContinuous);
    session.peer->write(update({rect(0, 0, 1, 1, 0).raw({0x1F, 0xF8})}) + fenceRequest);
    EXPECT_EQ(session.peer->read(fenceAnswer.size()), fenceAnswer);
    const auto frame = session.client.takeFrame();
    EXPECT_EQ(frame->pixel(0, 0), 0xFFFF00FFu);
    EXPECT_EQ(frame->pixel(3, 3), 0xFF404040u);

    // The server ending them on its own: back to a request per update.
    EXPECT_EQ(session.answer(endOfContinuous), request(true));
    EXPECT_FALSE(session.client.statistics().continuousUpdates);
    EXPECT_EQ(session.answer(update({})), request(true));

    LogCapture log;
    session.peer->write(Bytes{248, 0, 0, 0}.u32(0x8000'0000).u8(65).repeat(65, 0));
    EXPECT_EQ(finalError(drainEvents(session.client)),
              RFBError::protocolViolation("fence length 65"));
}

// Automatic starts at a middle JPEG level; once the screen holds still for a second the areas
// that came as JPEG are asked for again losslessly, and the level comes back with the next
// update. A large update that arrives fast moves to lossless, and the whole screen is asked for
// again, since a server need not replace what it sent lossily.
TEST(MessageLoop, AutomaticQualityRefreshesWhatWasLossy) {
    Session session(128, 128);
    session.client.setQuality(RFBQuality::automatic);
    const Bytes automatic = setEncodings(RFBQuality::automatic);
    EXPECT_EQ(session.answer(update({}), automatic.size() + 10),
              automatic + request(true, 128, 128));

    const auto [jpeg, rgb] = photoJPEG("40 30 2 80 RGB");
    Bytes photo = update({rect(7, 9, 40, 30, RFBEncoding::tight)
                              .u8(0x90)
                              .u8(0x80 | (jpeg.size() & 0x7F))
                              .u8(unsigned(jpeg.size() >> 7))});
    EXPECT_EQ(session.answer(photo.raw(jpeg)), request(true, 128, 128));
    const Bytes lossless = setEncodings(RFBQuality::automatic, AutomaticQuality::lossless);
    const Bytes again = Bytes{3, 0}.u16(7).u16(9).u16(40).u16(30);
    EXPECT_EQ(session.peer->read(lossless.size() + 10, 3s), lossless + again);
    EXPECT_EQ(session.answer(update({raw(7, 9, 40, 30)}), automatic.size() + 10),
              automatic + request(true, 128, 128));

    EXPECT_EQ(session.answer(update({raw(0, 0, 128, 128)}), lossless.size() + 10),
              lossless + request(false, 128, 128));
    EXPECT_EQ(session.client.statistics().automaticLevel, AutomaticQuality::lossless);
}
