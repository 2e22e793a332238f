#include <gtest/gtest.h>

#include <QAction>
#include <QPushButton>

#include "SessionFixture.hpp"
#include "Views/Session/ConnectionMenu.hpp"
#include "Views/Session/SessionContentView.hpp"
#include "Views/Session/SessionToolbar.hpp"
#include "Views/Session/StatePanel.hpp"

namespace tessaral::testing {
namespace {

using Kind = VNCSession::State::Kind;

VNCSession::State at(Kind kind) {
    VNCSession::State state;
    state.kind = kind;
    return state;
}

struct ControlsCase {
    const char* name;
    VNCSession::State state;
    bool frame;
    bool observeOnly;
    // Toolbar: Keyboard, Clipboard, Screenshot. Menu: Refresh, clipboard items, Send Keys,
    // Save Screenshot, Reconnect.
    bool keyboard, clipboard, screenshot;
    bool refresh, menuClipboard, sendKeys, menuScreenshot, reconnect;
};

TEST(SessionControls, EnablingFollowsTheSessionState) {
    const ControlsCase cases[] = {
        {"connecting", at(Kind::connecting), false, false, false, false, false, false, false, false,
         false, true},
        {"connected", at(Kind::connected), true, false, true, true, true, true, true, true, true,
         false},
        {"observe-only", at(Kind::connected), true, true, false, true, true, true, true, false,
         true, false},
        {"no frame yet", at(Kind::connected), false, false, true, true, false, true, true, true,
         false, false},
        {"disconnected with a frame", at(Kind::disconnected), true, false, false, false, true,
         false, false, false, true, true},
    };
    for (const ControlsCase& c : cases) {
        SCOPED_TRACE(c.name);
        VNCSessionTesting fixture;
        SessionToolbar toolbar(fixture.session.get());
        ConnectionMenu menu;
        menu.setSession(fixture.session.get());
        fixture.set(c.state, c.frame, c.observeOnly);

        EXPECT_EQ(toolbar.keyboardAction()->isEnabled(), c.keyboard);
        EXPECT_EQ(toolbar.clipboardAction()->isEnabled(), c.clipboard);
        EXPECT_EQ(toolbar.screenshotAction()->isEnabled(), c.screenshot);
        for (QAction* always : {toolbar.scalingAction(), toolbar.observeAction(),
                                toolbar.qualityAction(), toolbar.disconnectAction(),
                                menu.scalingAction(), menu.observeAction(), menu.qualityAction()}) {
            EXPECT_TRUE(always->isEnabled()) << always->text().toStdString();
        }
        EXPECT_EQ(toolbar.observeAction()->isChecked(), c.observeOnly);
        EXPECT_EQ(menu.observeAction()->isChecked(), c.observeOnly);
        EXPECT_EQ(menu.refreshAction()->isEnabled(), c.refresh);
        EXPECT_EQ(menu.sendClipboardAction()->isEnabled(), c.menuClipboard);
        EXPECT_EQ(menu.getClipboardAction()->isEnabled(), c.menuClipboard);
        EXPECT_EQ(menu.sendKeysAction()->isEnabled(), c.sendKeys);
        EXPECT_EQ(menu.screenshotAction()->isEnabled(), c.menuScreenshot);
        EXPECT_EQ(menu.reconnectAction()->isEnabled(), c.reconnect);
    }
}

TEST(SessionControls, ScalingItemsNameTheOtherMode) {
    VNCSessionTesting fixture;
    SessionToolbar toolbar(fixture.session.get());
    ConnectionMenu menu;
    menu.setSession(fixture.session.get());
    EXPECT_EQ(toolbar.scalingAction()->text(), "Actual Size");
    EXPECT_EQ(toolbar.scalingAction()->toolTip(), "Show at actual size");
    menu.scalingAction()->trigger();
    EXPECT_EQ(fixture.session->options().scaling, ScalingMode::actualSize);
    EXPECT_EQ(toolbar.scalingAction()->text(), "Scale to Fit");
    EXPECT_EQ(toolbar.scalingAction()->toolTip(), "Scale to fit the window");
    EXPECT_EQ(menu.scalingAction()->text(), "Scale to Fit");
}

struct PanelCase {
    const char* name;
    VNCSession::State state;
    bool shown;
    QString title;
    QString message;
    bool progress;  // Cancel; otherwise Close and Reconnect
    double opacity;
};

TEST(SessionContent, StatePanelPerState) {
    const PanelCase cases[] = {
        {"idle", at(Kind::idle), true, "Connecting to Studio…", "", true, 0.35},
        {"connecting", at(Kind::connecting), true, "Connecting to Studio…", "", true, 0.35},
        {"authenticating", at(Kind::authenticating), true, "Authenticating…", "", true, 0.35},
        {"connected", at(Kind::connected), false, "", "", false, 1.0},
        {"disconnected", at(Kind::disconnected), true, "Disconnected",
         "The session with Studio has ended.", false, 0.35},
        {"failed", VNCSession::State::failed("Connection refused"), true, "Couldn’t Connect",
         "Connection refused", false, 0.35},
        {"credentials", VNCSession::State::needsCredentials(rfb::RFBCredentialKind::password, true),
         false, "", "", false, 0.35},
    };
    for (const PanelCase& c : cases) {
        SCOPED_TRACE(c.name);
        VNCSessionTesting fixture;
        SessionContentView content(fixture.session.get());
        content.resize(800, 600);
        content.show();
        fixture.set(c.state);
        StatePanel* panel = content.statePanel();
        ASSERT_EQ(panel->isVisible(), c.shown);
        EXPECT_DOUBLE_EQ(content.screenOpacity(), c.opacity);
        if (!c.shown) {
            continue;
        }
        EXPECT_EQ(panel->title(), c.title);
        EXPECT_EQ(panel->message(), c.message);
        const auto button = [panel](const char* name) {
            return panel->findChild<QPushButton*>(name)->isVisible();
        };
        EXPECT_EQ(button("cancelButton"), c.progress);
        EXPECT_EQ(button("closeButton"), !c.progress);
        EXPECT_EQ(button("reconnectButton"), !c.progress);
    }
}

}  // namespace
}  // namespace tessaral::testing
