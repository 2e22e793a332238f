#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "App/AppState.hpp"
#include "App/SessionRouter.hpp"
#include "FakeKeychain.hpp"
#include "Model/ConnectionStore.hpp"

namespace tessaral::testing {
namespace {

TEST(SessionRouter, OpensTheComputerALinkNames) {
    struct Case {
        const char* link;
        bool opens;
        std::optional<rfb::RFBCredentials> credentials;
    };
    const Case cases[] = {
        {"vnc://studio.local:5901", true, std::nullopt},
        {"vnc://anna:pw@studio.local", true, rfb::RFBCredentials{"anna", "pw"}},
        {"vnc://:pw@studio.local", true, rfb::RFBCredentials{"", "pw"}},
        {"vnc://[::1", false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.link);
        QTemporaryDir folder;
        FakeKeychain keychain;
        ConnectionStore store(keychain, folder.path());
        AppState appState;
        std::vector<QUuid> opened;
        SessionRouter router(store, appState, [&](const QUuid& id) { opened.push_back(id); });

        EXPECT_EQ(router.openLink(QString::fromUtf8(c.link)), c.opens);
        if (!c.opens) {
            EXPECT_TRUE(opened.empty());
            ASSERT_TRUE(appState.alert());
            EXPECT_EQ(appState.alert()->title, "Can’t Open Link");
            EXPECT_FALSE(appState.alert()->message.isEmpty());
            continue;
        }
        ASSERT_EQ(opened.size(), 1u);
        EXPECT_TRUE(store.connection(opened[0]));
        EXPECT_EQ(appState.takePendingCredentials(opened[0]), c.credentials);
        EXPECT_FALSE(appState.alert());
    }
}

}  // namespace
}  // namespace tessaral::testing
