#include <gtest/gtest.h>

#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>

#include "Model/AppSettings.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;
using rfb::KeySymbol::CommandMapping;

class AppSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::clearPreferences(); }
    void TearDown() override { testing::clearPreferences(); }

    // Written behind AppSettings' back, as another version or a hand edit would.
    static void store(const QString& key, const QVariant& value) {
        QSettings(u"Tessaral"_s, u"Tessaral"_s).setValue(key, value);
    }
};

TEST_F(AppSettingsTest, LivesInTheTestRunsOwnConfigFolder) {
    const QString file = QSettings(u"Tessaral"_s, u"Tessaral"_s).fileName();
    EXPECT_TRUE(file.startsWith(qEnvironmentVariable("XDG_CONFIG_HOME"))) << file.toStdString();
    EXPECT_TRUE(file.startsWith(u"/tmp/tessaral-model-tests-"_s)) << file.toStdString();
}

TEST_F(AppSettingsTest, ReadsDefaultsThenEveryChangeAsItHappens) {
    EXPECT_EQ(AppSettings::libraryLayout(), LibraryLayout::grid);
    EXPECT_TRUE(AppSettings::showNearby());
    EXPECT_TRUE(AppSettings::saveThumbnails());
    EXPECT_TRUE(AppSettings::sendSystemShortcuts());
    EXPECT_FALSE(AppSettings::hideLocalCursor());
    EXPECT_EQ(ConnectionOptions::defaults(), ConnectionOptions{});

    AppSettings::setLibraryLayout(LibraryLayout::list);
    AppSettings::setShowNearby(false);
    AppSettings::setSaveThumbnails(false);
    AppSettings::setSendSystemShortcuts(false);
    AppSettings::setHideLocalCursor(true);
    AppSettings::setDefaultScaling(ScalingMode::actualSize);
    AppSettings::setDefaultQuality(rfb::RFBQuality::thousands);
    AppSettings::setDefaultShareClipboard(false);
    AppSettings::setDefaultCommandMapping(CommandMapping::meta);
    EXPECT_EQ(AppSettings::libraryLayout(), LibraryLayout::list);
    EXPECT_FALSE(AppSettings::showNearby());
    EXPECT_FALSE(AppSettings::saveThumbnails());
    EXPECT_FALSE(AppSettings::sendSystemShortcuts());
    EXPECT_TRUE(AppSettings::hideLocalCursor());
    const ConnectionOptions options = ConnectionOptions::defaults();
    EXPECT_EQ(options.scaling, ScalingMode::actualSize);
    EXPECT_EQ(options.quality, rfb::RFBQuality::thousands);
    EXPECT_FALSE(options.shareClipboard);
    EXPECT_EQ(options.commandMapping, CommandMapping::meta);

    // Stored in the library file's spelling, and never cached.
    EXPECT_EQ(QSettings(u"Tessaral"_s, u"Tessaral"_s).value(u"defaultScaling"_s), u"actualSize"_s);
    store(u"defaultQuality"_s, u"low"_s);
    EXPECT_EQ(AppSettings::defaultQuality(), rfb::RFBQuality::low);
}

TEST_F(AppSettingsTest, UnknownValuesReadAsAbsent) {
    store(u"libraryLayout"_s, u"columns"_s);
    store(u"defaultScaling"_s, u"Fit"_s);
    store(u"defaultQuality"_s, u"ultra"_s);
    store(u"defaultCommandMapping"_s, QStringList{u"meta"_s, u"control"_s});
    EXPECT_EQ(AppSettings::libraryLayout(), LibraryLayout::grid);
    EXPECT_EQ(AppSettings::defaultScaling(), ScalingMode::fit);
    EXPECT_EQ(AppSettings::defaultQuality(), rfb::RFBQuality::full);
    EXPECT_EQ(AppSettings::defaultCommandMapping(), CommandMapping::automatic);

    store(u"defaultQuality"_s, 3);
    EXPECT_EQ(AppSettings::defaultQuality(), rfb::RFBQuality::full);
}

TEST_F(AppSettingsTest, BooleansFollowTheirAbsentRules) {
    // A present key is read as a boolean, whatever its default.
    store(u"showNearby"_s, u"no"_s);
    store(u"defaultShareClipboard"_s, 0);
    store(u"sendSystemShortcuts"_s, u"FALSE"_s);
    store(u"hideLocalCursor"_s, u"1"_s);
    EXPECT_FALSE(AppSettings::showNearby());
    EXPECT_FALSE(AppSettings::defaultShareClipboard());
    EXPECT_FALSE(AppSettings::sendSystemShortcuts());
    EXPECT_TRUE(AppSettings::hideLocalCursor());

    // Previews stay on unless explicitly turned off.
    for (const QVariant& value : {QVariant(u"maybe"_s), QVariant(7), QVariant(u"true"_s)}) {
        store(u"saveThumbnails"_s, value);
        EXPECT_TRUE(AppSettings::saveThumbnails()) << value.toString().toStdString();
    }
    for (const QVariant& value : {QVariant(false), QVariant(u"false"_s), QVariant(0)}) {
        store(u"saveThumbnails"_s, value);
        EXPECT_FALSE(AppSettings::saveThumbnails()) << value.toString().toStdString();
    }
}

TEST_F(AppSettingsTest, AnnouncesOnlyRealChanges) {
    QSignalSpy changed(&AppSettings::instance(), &AppSettings::changed);
    AppSettings::setShowNearby(true);  // absent already reads true
    EXPECT_EQ(changed.count(), 0);
    AppSettings::setShowNearby(false);
    AppSettings::setShowNearby(false);
    ASSERT_EQ(changed.count(), 1);
    EXPECT_EQ(changed.at(0).at(0).toString(), u"showNearby"_s);
    AppSettings::setDefaultQuality(rfb::RFBQuality::low);
    ASSERT_EQ(changed.count(), 2);
    EXPECT_EQ(changed.at(1).at(0).toString(), u"defaultQuality"_s);
}

}  // namespace
}  // namespace tessaral
