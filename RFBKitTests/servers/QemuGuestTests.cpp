// QEMU's own VNC server in front of a guest of ours (guest/guest.c), which shows a picture like a
// photograph and reports the scan codes its PS/2 keyboard delivers.

#include <gtest/gtest.h>

#include <fstream>

#include "RealServers.hpp"

using namespace rfb;
using namespace rfbtest;

namespace {

struct Guest {
    TemporaryDirectory folder;
    int port = freePort();
    Process qemu;

    explicit Guest(std::vector<std::string> options = {}) {
        options.insert(options.begin(),
                       {"bash", TESSARAL_QEMU_GUEST, folder.file(""), std::to_string(port)});
        qemu = Process::spawn(options, {}, folder.file("qemu.log"));
        if (!waitUntil([&] { return serial() == "ready\n"; }, 30s)) {
            throw std::runtime_error("no guest: " + fileText(folder.file("qemu.log")) + serial());
        }
    }
    std::string serial() const { return fileText(folder.file("serial.log")); }
    // QEMU's own capture, written once the monitor prompts again after the command.
    Picture screen() const {
        std::ofstream(folder.file("monitor.in")) << "screendump " << folder.file("s.ppm") << "\n";
        std::ifstream monitor(folder.file("monitor.out"));
        std::string said;
        for (char c;
             said.find("(qemu) ", said.find("screendump")) == said.npos && monitor.get(c);) {
            said += c;
        }
        return readPPM(folder.file("s.ppm"));
    }
    std::unique_ptr<Viewer> viewer(const std::vector<std::int32_t>& encodings) const {
        auto viewer = std::make_unique<Viewer>(
            configurationFor(RFBEndpoint::host("127.0.0.1", port), 15s), encodings);
        viewer->pumpUntil([&] { return viewer->client.statistics().completeUpdates > 0; });
        return viewer;
    }
};

// QEMU sends JPEG for areas it finds smooth, to a client that asked for a quality level of at
// most 4 (above, only for areas that change often) and sends 32-bit pixels.
TEST(QemuTight, JPEGComesCloseToTheScreenAndLosslessTightEqualsIt) {
    const Guest guest;
    const Picture screen = guest.screen();
    ASSERT_EQ(std::pair(screen.width, screen.height), std::pair(640, 480));
    for (bool jpeg : {true, false}) {
        SCOPED_TRACE(jpeg ? "JPEG" : "lossless");
        const auto viewer =
            guest.viewer(jpeg ? std::vector{RFBEncoding::tight, RFBEncoding::jpegQuality0 + 4}
                              : std::vector{RFBEncoding::tight});
        const Picture frame = viewer->frame().value_or(Picture());
        const auto [mean, peak] = meanAndPeakError(frame, screen);
        EXPECT_EQ(viewer->client.statistics().decoding[RFBEncoding::tight].jpegRectangles > 0,
                  jpeg);
        // Measured: 2.6 and 15 with JPEG.
        EXPECT_LE(mean, jpeg ? 4.0 : 0.0) << difference(frame, screen);
        EXPECT_LE(peak, jpeg ? 40 : 0);
    }
}

// A German keyboard on a German layout at both ends. From keysyms alone, QEMU as usually run
// makes keys by a US layout: Y and Z trade places, ß and ö are lost, and AltGr + Q (@) becomes
// AltGr + 2. QEMU's key events carry the physical key, except that a QEMU told the guest's
// layout (-k de) takes their keysyms too; a key without a known XT code goes as its keysym.
// The guest reports scan codes of set 1.
TEST(QemuKeys, TheGuestGetsThePhysicalKeyFromExtendedKeyEvents) {
    const struct {
        std::uint32_t keysym, xt;
        std::string physical, usLayout;
    } keys[] = {{'z', 0x15, "15", "2c"},        {'y', 0x2C, "2c", "15"}, {0xDF, 0x0C, "0c", ""},
                {0xF6, 0x27, "27", ""},         {'-', 0x35, "35", "0c"}, {'+', 0x1B, "1b", "0d"},
                {0xFE03, 0xB8, "e038", "e038"}, {'@', 0x10, "10", "03"}, {'a', 0, "1e", "1e"}};
    for (auto [extended, german] :
         {std::pair{true, false}, {false, false}, {true, true}, {false, true}}) {
        SCOPED_TRACE(std::string(extended ? "key events" : "keysyms") + (german ? ", -k de" : ""));
        const Guest guest(german ? std::vector<std::string>{"-k", "de"}
                                 : std::vector<std::string>{});
        const auto viewer =
            guest.viewer(extended ? std::vector{RFBEncoding::raw, RFBEncoding::qemuExtendedKeyEvent}
                                  : std::vector{RFBEncoding::raw});
        std::string expected = "ready\n";
        for (const auto& key : keys) {
            viewer->client.sendKey(key.keysym, true, key.xt);
            viewer->client.sendKey(key.keysym, false, key.xt);
            const std::string& code = extended || german ? key.physical : key.usLayout;
            expected += code.empty() ? "" : "down " + code + "\nup " + code + "\n";
        }
        waitUntil([&] { return guest.serial() == expected; }, 10s);
        EXPECT_EQ(guest.serial(), expected);
    }
}

}  // namespace
