// BonjourBrowser against a real avahi-daemon confined to a network namespace, with services
// published by avahi-publish; and against no daemon at all. The suites run only under
// scripts/with-avahi-namespace.sh (or with TESSARAL_AVAHI_DAEMON=none and no system bus), which
// CTest does for them; run by hand without it they skip.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QTest>
#include <functional>
#include <memory>

#include "Model/BonjourBrowser.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;

QStringList names(const BonjourBrowser& browser) {
    QStringList result;
    for (const BonjourBrowser::Service& service : browser.services()) {
        result.push_back(service.name);
    }
    return result;
}

// Runs the event loop until `condition` holds; false at the time-out.
bool eventually(const std::function<bool()>& condition, int milliseconds = 15'000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > milliseconds) {
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

// One service advertised by avahi-publish for as long as this object lives (or until withdrawn);
// the process is stopped by its pid.
class Publication {
  public:
    explicit Publication(const QString& name, int port = 5900) {
        process_.setProgram(u"avahi-publish"_s);
        process_.setArguments({u"--service"_s, name, u"_rfb._tcp"_s, QString::number(port)});
        process_.setStandardOutputFile(QProcess::nullDevice());
        process_.setStandardErrorFile(QProcess::nullDevice());
        process_.start();
        started_ = process_.waitForStarted(5000);
    }
    ~Publication() { withdraw(); }
    Publication(const Publication&) = delete;
    Publication& operator=(const Publication&) = delete;

    bool started() const { return started_; }

    // avahi-publish withdraws the service (announcing its end) when terminated.
    void withdraw() {
        if (process_.state() == QProcess::NotRunning) {
            return;
        }
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

  private:
    QProcess process_;
    bool started_ = false;
};

class BonjourBrowserAvahiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariable("TESSARAL_AVAHI_DAEMON") != u"running"_s ||
            qEnvironmentVariableIsEmpty("TESSARAL_AVAHI_NAMESPACE")) {
            GTEST_SKIP() << "needs an avahi-daemon of its own: run under "
                            "scripts/with-avahi-namespace.sh";
        }
    }

    std::unique_ptr<Publication> publish(const QString& name) {
        auto publication = std::make_unique<Publication>(name);
        EXPECT_TRUE(publication->started()) << "avahi-publish did not start";
        return publication;
    }

    BonjourBrowser browser_;
};

TEST_F(BonjourBrowserAvahiTest, ListsServicesSortedByCodePointOnceEachUntilWithdrawn) {
    browser_.start();
    ASSERT_TRUE(eventually([&] { return browser_.isBrowsing(); }));
    EXPECT_EQ(browser_.errorMessage(), std::nullopt);

    // The daemon reports each of these twice, over IPv4 and over IPv6. Upper case sorts before
    // lower case, and U+FF3A before U+1F600 although its UTF-16 unit is the larger one. (Names
    // differing only in case cannot both be published: DNS compares them case-insensitively.)
    const QStringList published{u"Beta"_s, u"alpha"_s, u"\U0001F600 smile"_s, u"Apple"_s,
                                u"\uFF3A wide"_s};
    std::vector<std::unique_ptr<Publication>> publications;
    for (const QString& name : published) {
        publications.push_back(publish(name));
    }
    const QStringList expected{u"Apple"_s, u"Beta"_s, u"alpha"_s, u"\uFF3A wide"_s,
                               u"\U0001F600 smile"_s};
    EXPECT_TRUE(eventually([&] { return names(browser_) == expected; }))
        << names(browser_).join(u" | "_s).toStdString();

    // The second report of each arrives a little after the first: still one entry each.
    QTest::qWait(1500);
    EXPECT_EQ(names(browser_), expected);
    EXPECT_TRUE(browser_.isBrowsing());

    publications[0]->withdraw();
    const QStringList rest{u"Apple"_s, u"alpha"_s, u"\uFF3A wide"_s, u"\U0001F600 smile"_s};
    EXPECT_TRUE(eventually([&] { return names(browser_) == rest; }))
        << names(browser_).join(u" | "_s).toStdString();
}

TEST_F(BonjourBrowserAvahiTest, StopKeepsTheListAndRestartEmptiesItFirst) {
    QSignalSpy servicesChanged(&browser_, &BonjourBrowser::servicesChanged);
    browser_.start();
    auto kept = publish(u"Kept"_s);
    ASSERT_TRUE(eventually([&] { return names(browser_) == QStringList{u"Kept"_s}; }));

    browser_.stop();
    EXPECT_FALSE(browser_.isBrowsing());
    EXPECT_FALSE(browser_.hasBrowseOperation());
    // A stopped browser hears nothing more: neither a withdrawal nor a new service.
    kept->withdraw();
    auto later = publish(u"Later"_s);
    const auto changesBefore = servicesChanged.count();
    QTest::qWait(2000);
    EXPECT_EQ(names(browser_), QStringList{u"Kept"_s});
    EXPECT_EQ(servicesChanged.count(), changesBefore);

    // Started again, the old list stays until the first results replace it, "Kept" included.
    browser_.start();
    EXPECT_EQ(names(browser_), QStringList{u"Kept"_s});
    EXPECT_TRUE(eventually([&] { return names(browser_) == QStringList{u"Later"_s}; }))
        << names(browser_).join(u" | "_s).toStdString();
    EXPECT_TRUE(browser_.isBrowsing());

    browser_.restart();
    EXPECT_TRUE(browser_.services().isEmpty());
    EXPECT_FALSE(browser_.isBrowsing());
    EXPECT_TRUE(eventually([&] { return names(browser_) == QStringList{u"Later"_s}; }));
    EXPECT_TRUE(browser_.isBrowsing());
}

TEST_F(BonjourBrowserAvahiTest, ReportsOfAStoppedBrowseDoNotLand) {
    auto service = publish(u"Stale"_s);

    // Connecting already reports the browse as ready, queued for the event loop; stopping
    // before that report is delivered must leave the browser stopped.
    QSignalSpy browsingChanged(&browser_, &BonjourBrowser::isBrowsingChanged);
    QSignalSpy servicesChanged(&browser_, &BonjourBrowser::servicesChanged);
    browser_.start();
    browser_.stop();
    QTest::qWait(1500);
    EXPECT_FALSE(browser_.isBrowsing());
    EXPECT_EQ(browsingChanged.count(), 0);
    EXPECT_EQ(servicesChanged.count(), 0);
}

// No avahi-daemon: the namespace's own system bus without one, or no system bus at all.
class BonjourBrowserNoDaemonTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (qEnvironmentVariable("TESSARAL_AVAHI_DAEMON") != u"none"_s) {
            GTEST_SKIP() << "needs TESSARAL_AVAHI_DAEMON=none and no avahi-daemon";
        }
    }
    BonjourBrowser browser_;
};

TEST_F(BonjourBrowserNoDaemonTest, ShowsTheErrorUntilABrowseIsReady) {
    QSignalSpy errorChanged(&browser_, &BonjourBrowser::errorMessageChanged);
    browser_.start();
    ASSERT_TRUE(eventually([&] { return browser_.errorMessage().has_value(); }, 5000));
    EXPECT_EQ(browser_.errorMessage(), u"Daemon not running"_s);
    EXPECT_FALSE(browser_.isBrowsing());
    EXPECT_EQ(errorChanged.count(), 1);

    // A failed browse still counts as started: start() alone does not retry.
    EXPECT_TRUE(browser_.hasBrowseOperation());
    browser_.start();
    QTest::qWait(300);
    EXPECT_EQ(errorChanged.count(), 1);

    // "Try Again": the error stays on show while the new attempt runs, and when it fails too.
    browser_.restart();
    EXPECT_EQ(browser_.errorMessage(), u"Daemon not running"_s);
    QTest::qWait(300);
    EXPECT_EQ(browser_.errorMessage(), u"Daemon not running"_s);
    EXPECT_FALSE(browser_.isBrowsing());
    EXPECT_TRUE(browser_.services().isEmpty());
}

}  // namespace
}  // namespace tessaral
