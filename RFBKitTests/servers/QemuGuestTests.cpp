// QEMU's own VNC server in front of a guest of ours (guest/guest.c), which shows a picture like a
// photograph. (The guest's report of the scan codes its keyboard gets serves the application's
// end-to-end test of a German keyboard.)

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

    Guest() {
        qemu = Process::spawn({"bash", TESSARAL_QEMU_GUEST, folder.file(""), std::to_string(port)},
                              {}, folder.file("qemu.log"));
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
    std::unique_ptr<Viewer> viewer(const std::vector<std::int32_t>& encodings,
                                   RFBQuality quality = RFBQuality::full) const {
        auto viewer = std::make_unique<Viewer>(
            configurationFor(RFBEndpoint::host("127.0.0.1", port), 15s, {}, quality), encodings);
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

// Automatic, with its own encodings: nothing shown lossily stays.
TEST(QemuTight, AutomaticEndsExact) {
    const Guest guest;
    const auto viewer = guest.viewer({}, RFBQuality::automatic);
    EXPECT_EQ(viewer->expectFrame(guest.screen()), "");
}

}  // namespace
