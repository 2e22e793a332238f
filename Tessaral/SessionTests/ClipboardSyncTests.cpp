#include <gtest/gtest.h>

#include <QTest>

#include "ClipboardSync.hpp"
#include "SessionFixture.hpp"

namespace tessaral::testing {
namespace {

// The session's own tests offer and apply texts; these are the commands and the notices.
TEST(ClipboardSync, CommandsTheirNoticesAndNoEcho) {
    MemoryClipboard clipboard;
    QStringList sent;
    ClipboardSync sync(clipboard, [&](const QString& text) { sent.append(text); });
    sync.takeRemote();
    EXPECT_EQ(sync.activity(), QStringLiteral("Remote clipboard is empty"));
    sync.received(QStringLiteral("kept"), false);
    EXPECT_EQ(clipboard.text(), std::nullopt);
    sync.takeRemote();
    sync.offerIfChanged();
    EXPECT_EQ(clipboard.text(), QStringLiteral("kept"));
    // A notice shown again within two seconds keeps its full time, however alike the words.
    QTest::qWait(1200);
    sync.takeRemote();
    QTest::qWait(1200);
    EXPECT_EQ(sync.activity(), QStringLiteral("Clipboard received"));
    sync.sendLocal();
    EXPECT_EQ(sent, QStringList{QStringLiteral("kept")});
    EXPECT_EQ(sync.activity(), QStringLiteral("Clipboard sent"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sync.activity(); }, 3000));
}

}  // namespace
}  // namespace tessaral::testing
