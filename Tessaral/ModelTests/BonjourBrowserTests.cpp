#include <gtest/gtest.h>

#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <list>
#include <memory>

#include "Model/BonjourBrowser.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;

QStringList names(const BonjourBrowser& browser) {
    return testing::names(browser.services());
}

// Advertised while alive; terminated rather than killed, avahi-publish announces the end.
struct Publication : QProcess {
    explicit Publication(const QString& name) {
        setProcessChannelMode(QProcess::ForwardedErrorChannel);
        start(u"avahi-publish"_s, {u"--service"_s, name, u"_rfb._tcp"_s, u"5900"_s});
        EXPECT_TRUE(waitForStarted(5000)) << "avahi-publish did not start";
    }
    ~Publication() override {
        terminate();
        waitForFinished(5000);
    }
};

class BonjourBrowserAvahiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariable("TESSARAL_AVAHI_DAEMON") != u"running"_s) {
            GTEST_SKIP() << "needs its own avahi-daemon: run under scripts/with-avahi-namespace.sh";
        }
    }
    // Runs the event loop until the browser lists `expected`.
    bool lists(const QStringList& expected) {
        const bool found = QTest::qWaitFor([&] { return names(browser_) == expected; }, 15'000);
        EXPECT_TRUE(found) << names(browser_).join(u" | "_s).toStdString();
        return found;
    }

    BonjourBrowser browser_;
};

TEST_F(BonjourBrowserAvahiTest, ListsServicesSortedByCodePointOnceEachUntilWithdrawn) {
    browser_.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser_.isBrowsing(); }, 15'000));
    EXPECT_EQ(browser_.errorMessage(), std::nullopt);

    // Each reported over IPv4 and IPv6; U+FF3A sorts before U+1F600 despite its larger UTF-16 unit.
    std::list<Publication> publications;
    for (const QString& name :
         {u"Beta"_s, u"alpha"_s, u"\U0001F600 smile"_s, u"Apple"_s, u"\uFF3A wide"_s}) {
        publications.emplace_back(name);
    }
    QStringList expected{u"Apple"_s, u"Beta"_s, u"alpha"_s, u"\uFF3A wide"_s,
                         u"\U0001F600 smile"_s};
    ASSERT_TRUE(lists(expected));
    // The second report of each arrives a little after the first: still one entry each.
    QTest::qWait(1500);
    EXPECT_EQ(names(browser_), expected);

    publications.pop_front();
    expected.removeOne(u"Beta"_s);
    lists(expected);
}

TEST_F(BonjourBrowserAvahiTest, StopKeepsTheListAndRestartEmptiesItFirst) {
    QSignalSpy servicesChanged(&browser_, &BonjourBrowser::servicesChanged);
    browser_.start();
    auto kept = std::make_unique<Publication>(u"Kept"_s);
    ASSERT_TRUE(lists({u"Kept"_s}));

    browser_.stop();
    EXPECT_FALSE(browser_.isBrowsing());
    EXPECT_FALSE(browser_.hasBrowseOperation());
    // A stopped browser hears nothing more: neither a withdrawal nor a new service.
    kept.reset();
    const Publication later(u"Later"_s);
    const auto changesBefore = servicesChanged.count();
    QTest::qWait(2000);
    EXPECT_EQ(names(browser_), QStringList{u"Kept"_s});
    EXPECT_EQ(servicesChanged.count(), changesBefore);

    // Started again, the old list stays until the first results replace it.
    browser_.start();
    EXPECT_EQ(names(browser_), QStringList{u"Kept"_s});
    lists({u"Later"_s});
    EXPECT_TRUE(browser_.isBrowsing());

    browser_.restart();
    EXPECT_TRUE(browser_.services().isEmpty());
    EXPECT_FALSE(browser_.isBrowsing());
    lists({u"Later"_s});
    EXPECT_TRUE(browser_.isBrowsing());
}

TEST_F(BonjourBrowserAvahiTest, ReportsOfAStoppedBrowseDoNotLand) {
    const Publication stale(u"Stale"_s);
    // Connecting queues a "ready" report; stopping before it is delivered must stay stopped.
    QSignalSpy browsingChanged(&browser_, &BonjourBrowser::isBrowsingChanged);
    QSignalSpy servicesChanged(&browser_, &BonjourBrowser::servicesChanged);
    browser_.start();
    browser_.stop();
    QTest::qWait(1500);
    EXPECT_FALSE(browser_.isBrowsing());
    EXPECT_EQ(browsingChanged.count() + servicesChanged.count(), 0);
}

// No avahi-daemon: the namespace's own system bus without one, or no system bus at all.
TEST(BonjourBrowserNoDaemonTest, ShowsTheErrorUntilABrowseIsReady) {
    if (qEnvironmentVariable("TESSARAL_AVAHI_DAEMON") != u"none"_s) {
        GTEST_SKIP() << "needs TESSARAL_AVAHI_DAEMON=none and no avahi-daemon";
    }
    BonjourBrowser browser;
    QSignalSpy errorChanged(&browser, &BonjourBrowser::errorMessageChanged);
    browser.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return browser.errorMessage().has_value(); }, 5000));
    EXPECT_EQ(browser.errorMessage(), u"Daemon not running"_s);
    EXPECT_FALSE(browser.isBrowsing());

    // A failed browse still counts as started: start() alone does not retry.
    EXPECT_TRUE(browser.hasBrowseOperation());
    browser.start();
    QTest::qWait(300);
    EXPECT_EQ(errorChanged.count(), 1);

    // "Try Again": the error stays on show while the new attempt runs, and when it fails too.
    browser.restart();
    EXPECT_EQ(browser.errorMessage(), u"Daemon not running"_s);
    QTest::qWait(300);
    EXPECT_EQ(browser.errorMessage(), u"Daemon not running"_s);
    EXPECT_FALSE(browser.isBrowsing());
    EXPECT_TRUE(browser.services().isEmpty());
}

}  // namespace
}  // namespace tessaral
