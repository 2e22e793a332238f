#include <gtest/gtest.h>

#include <QSignalSpy>

#include "App/AppState.hpp"
#include "Model/AppSettings.hpp"
#include "TestSupport.hpp"

namespace tessaral {
namespace {

using namespace Qt::StringLiterals;

TEST(AppState, NewConnectionAsksTheEditorForAFreshComputerWithThePreferences) {
    testing::clearPreferences();
    AppSettings::setDefaultQuality(rfb::RFBQuality::thousands);
    AppState state;
    QSignalSpy changed(&state, &AppState::editorRequestChanged);
    state.newConnection(std::nullopt);
    ASSERT_TRUE(state.editorRequest());
    EXPECT_TRUE(state.editorRequest()->isNew);
    const Connection first = state.editorRequest()->connection;
    EXPECT_EQ(first.origin, ConnectionOrigin::saved);
    EXPECT_FALSE(first.groupID);
    EXPECT_EQ(first.options.quality, rfb::RFBQuality::thousands);
    testing::clearPreferences();

    // Each request is a different computer, here filed under the selected group.
    const QUuid group = QUuid::createUuid();
    state.newConnection(group);
    EXPECT_EQ(state.editorRequest()->connection.groupID, group);
    EXPECT_NE(state.editorRequest()->connection.id, first.id);
    state.setEditorRequest(std::nullopt);
    EXPECT_EQ(changed.count(), 3);
}

TEST(AppState, PendingCredentialsAreTakenOnce) {
    AppState state;
    const QUuid id = QUuid::createUuid();
    state.setPendingCredentials(id, {"anna", "secret"});
    EXPECT_FALSE(state.takePendingCredentials(QUuid::createUuid()));
    EXPECT_EQ(state.takePendingCredentials(id), (rfb::RFBCredentials{"anna", "secret"}));
    EXPECT_FALSE(state.takePendingCredentials(id));
}

TEST(AppState, FlagsAndAlertSignalOnlyWhenTheyChange) {
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
    state.setAlert(AppState::AppAlert{u"Import Failed"_s, u"Not a library."_s});
    state.setAlert(AppState::AppAlert{u"Import Failed"_s, u"Not a library."_s});
    EXPECT_EQ(quickConnect.count(), 1);
    EXPECT_EQ(importer.count(), 1);
    EXPECT_EQ(exporter.count(), 2);
    EXPECT_EQ(alert.count(), 1);
}

}  // namespace
}  // namespace tessaral
