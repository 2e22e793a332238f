#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "RemoteResize.hpp"

namespace tessaral {
namespace {

using Layout = rfb::event::DesktopLayout;

Layout layout(Layout::Reason reason, Layout::Status status, int width, int height) {
    return {reason, status, width, height, {{7, 0, 0, width, height, 0x5}}};
}

struct Sent {
    QSize size;
    std::vector<rfb::RFBScreen> screens;
};

TEST(RemoteResize, OneRequestAtATimeForTheNewestSizeAndNoneAfterARefusal) {
    std::vector<Sent> sent;
    RemoteResize resize([&](QSize size, const std::vector<rfb::RFBScreen>& screens) {
        sent.push_back({size, screens});
    });
    QSignalSpy refused(&resize, &RemoteResize::refused);

    // Nothing before the server says it takes requests.
    resize.setWindowSize({800, 600});
    EXPECT_TRUE(sent.empty());
    EXPECT_FALSE(resize.active());
    resize.layoutReceived(layout(Layout::Reason::server, Layout::Status::done, 1024, 768));
    EXPECT_TRUE(resize.active());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size, QSize(800, 600));
    // The server's id and flags, one screen filling the new size.
    EXPECT_EQ(sent[0].screens, (std::vector<rfb::RFBScreen>{{7, 0, 0, 800, 600, 0x5}}));

    // While one is pending, later sizes wait; the newest goes after the answer, 100 ms on.
    resize.setWindowSize({900, 600});
    resize.setWindowSize({1000, 700});
    EXPECT_EQ(sent.size(), 1u);
    resize.layoutReceived(layout(Layout::Reason::thisClient, Layout::Status::done, 800, 600));
    EXPECT_EQ(sent.size(), 1u) << "within 100 ms of the last";
    QTest::qWait(150);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].size, QSize(1000, 700));

    // A size the remote already has is not asked for.
    resize.layoutReceived(layout(Layout::Reason::thisClient, Layout::Status::done, 1000, 700));
    resize.setWindowSize({1000, 700});
    QTest::qWait(150);
    EXPECT_EQ(sent.size(), 2u);

    // A refusal is said once and ends the requests of this connection.
    resize.setWindowSize({1200, 900});
    QTest::qWait(150);
    ASSERT_EQ(sent.size(), 3u);
    resize.layoutReceived(
        layout(Layout::Reason::thisClient, Layout::Status::prohibited, 1000, 700));
    EXPECT_FALSE(resize.active());
    EXPECT_EQ(refused.count(), 1);
    ASSERT_TRUE(resize.refusal());
    resize.setWindowSize({1300, 900});
    resize.layoutReceived(layout(Layout::Reason::otherClient, Layout::Status::done, 1000, 700));
    QTest::qWait(150);
    EXPECT_EQ(sent.size(), 3u);

    // A new connection starts afresh; the option off, or screens that cannot be named, stop it.
    resize.reset();
    resize.setEnabled(false);
    resize.layoutReceived(layout(Layout::Reason::server, Layout::Status::done, 640, 480));
    EXPECT_FALSE(resize.active());
    resize.setEnabled(true);
    EXPECT_EQ(sent.size(), 4u);
    resize.layoutReceived({Layout::Reason::thisClient, Layout::Status::done, 640, 480, {}});
    EXPECT_FALSE(resize.active());
}

}  // namespace
}  // namespace tessaral
