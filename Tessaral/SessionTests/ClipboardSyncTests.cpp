#include <gtest/gtest.h>

#include <QTest>

#include "ClipboardSync.hpp"
#include "SessionFixture.hpp"

namespace tessaral::testing {
namespace {

// Each step acts on the sync or the local clipboard; what reached the server and the notice
// shown after it are compared.
TEST(ClipboardSync, OffersChangesOnceAndNeverEchoesTheServersText) {
    MemoryClipboard clipboard;
    clipboard.setText(QStringLiteral("before"));
    QStringList sent;
    ClipboardSync sync(clipboard, [&](const QString& text) { sent.append(text); });
    const struct {
        const char* step;
        std::function<void()> act;
        QStringList sent;
        std::optional<QString> notice;
    } steps[] = {
        {"unchanged", [&] { sync.offerIfChanged(); }, {}, {}},
        {"new connection", [&] { sync.forgetSeen(), sync.offerIfChanged(); }, {"before"}, {}},
        {"copied", [&] { clipboard.setText("copied"), sync.offerIfChanged(); }, {"copied"}, {}},
        {"copied nothing", [&] { clipboard.setText(""), sync.offerIfChanged(); }, {}, {}},
        {"nothing from the server", [&] { sync.takeRemote(); }, {}, "Remote clipboard is empty"},
        {"kept, not applied",
         [&] { sync.received("kept", false); },
         {},
         "Remote clipboard is empty"},
        {"taken by hand", [&] { sync.takeRemote(); }, {}, "Clipboard received"},
        {"applied",
         [&] { sync.received("applied", true), sync.offerIfChanged(); },
         {},
         "Clipboard received"},
        {"sent by hand", [&] { sync.sendLocal(); }, {"applied"}, "Clipboard sent"},
    };
    for (const auto& step : steps) {
        sent.clear();
        step.act();
        EXPECT_EQ(sent, step.sent) << step.step;
        EXPECT_EQ(sync.activity(), step.notice) << step.step;
    }
    EXPECT_EQ(clipboard.text(), QStringLiteral("applied"));
    EXPECT_EQ(sync.remoteText(), QStringLiteral("applied"));
}

TEST(ClipboardSync, ANoticeShownAgainKeepsItsFullTwoSeconds) {
    MemoryClipboard clipboard;
    ClipboardSync sync(clipboard, [](const QString&) {});
    sync.takeRemote();
    QTest::qWait(1200);
    sync.takeRemote();
    QTest::qWait(1200);
    EXPECT_EQ(sync.activity(), QStringLiteral("Remote clipboard is empty"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sync.activity(); }, 3000));
}

}  // namespace
}  // namespace tessaral::testing
