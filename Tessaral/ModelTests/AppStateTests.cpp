#include <gtest/gtest.h>

#include <QSignalSpy>

#include "App/AppState.hpp"
#include "Model/AppSettings.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;

class AppStateTest : public ::testing::Test {
  protected:
    void SetUp() override { testing::clearPreferences(); }
    void TearDown() override { testing::clearPreferences(); }
};

TEST_F(AppStateTest, NewConnectionAsksTheEditorForAFreshComputer) {
    AppSettings::setDefaultQuality(rfb::RFBQuality::thousands);
    AppState state;
    QSignalSpy changed(&state, &AppState::editorRequestChanged);
    state.newConnection(std::nullopt);
    ASSERT_TRUE(state.editorRequest());
    EXPECT_EQ(changed.count(), 1);
    const AppState::EditorRequest request = *state.editorRequest();
    EXPECT_TRUE(request.isNew);
    EXPECT_EQ(request.id(), request.connection.id);
    const Connection& connection = request.connection;
    EXPECT_EQ(connection.port, 5900);
    EXPECT_EQ(connection.symbol, u"desktopcomputer"_s);
    EXPECT_EQ(connection.tint, ConnectionTint::blue);
    EXPECT_EQ(connection.origin, ConnectionOrigin::saved);
    EXPECT_FALSE(connection.groupID);
    EXPECT_TRUE(connection.name.isEmpty());
    EXPECT_EQ(connection.options.quality, rfb::RFBQuality::thousands);

    // Each request is a different computer, here filed under the selected group.
    const QUuid group = QUuid::createUuid();
    state.newConnection(group);
    EXPECT_EQ(state.editorRequest()->connection.groupID, group);
    EXPECT_NE(state.editorRequest()->id(), connection.id);
    EXPECT_EQ(changed.count(), 2);
    state.setEditorRequest(std::nullopt);
    EXPECT_FALSE(state.editorRequest());
    EXPECT_EQ(changed.count(), 3);
}

TEST_F(AppStateTest, PendingCredentialsAreTakenOnce) {
    AppState state;
    const QUuid id = QUuid::createUuid();
    state.setPendingCredentials(id, {"anna", "secret"});
    EXPECT_FALSE(state.takePendingCredentials(QUuid::createUuid()));
    EXPECT_EQ(state.takePendingCredentials(id), (rfb::RFBCredentials{"anna", "secret"}));
    EXPECT_FALSE(state.takePendingCredentials(id));
}

TEST_F(AppStateTest, FlagsAndAlertSignalOnlyWhenTheyChange) {
    AppState state;
    QSignalSpy quickConnect(&state, &AppState::showQuickConnectChanged);
    QSignalSpy importer(&state, &AppState::showImporterChanged);
    QSignalSpy exporter(&state, &AppState::showExporterChanged);
    QSignalSpy alert(&state, &AppState::alertChanged);
    state.setShowQuickConnect(false);
    state.setShowQuickConnect(true);
    state.setShowQuickConnect(true);
    state.setShowImporter(true);
    state.setShowExporter(true);
    state.setShowExporter(false);
    const AppState::AppAlert failure{u"Import Failed"_s, u"Not a library."_s};
    state.setAlert(failure);
    state.setAlert(failure);
    EXPECT_EQ(quickConnect.count(), 1);
    EXPECT_EQ(importer.count(), 1);
    EXPECT_EQ(exporter.count(), 2);
    EXPECT_EQ(alert.count(), 1);
    EXPECT_EQ(state.alert()->id(), u"Import FailedNot a library."_s);
    EXPECT_TRUE(state.showQuickConnect());
    EXPECT_TRUE(state.showImporter());
    EXPECT_FALSE(state.showExporter());
}

}  // namespace
}  // namespace tessaral
