#include "platform/ApplicationChange.h"

#include "SignalsFixture.h"
#include "signals/Behavioral.h"

namespace {

using platform::ApplicationChange;
using platform::RunningApplication;

TEST(ApplicationChange, AnotherWindowOfTheActiveApplicationIsNoChange) {
    ApplicationChange change;
    EXPECT_FALSE(change.becameActive(std::nullopt));
    EXPECT_TRUE(change.becameActive(RunningApplication{"Editor", 10, "Editor"}));
    EXPECT_FALSE(change.becameActive(RunningApplication{"Editor", 10, "Editor"}));
    // The pid tells applications apart, whatever their class says.
    EXPECT_FALSE(change.becameActive(RunningApplication{"Editor-dialog", 10, "Dialog"}));
    EXPECT_TRUE(change.becameActive(RunningApplication{"Editor", 11, "Editor"}));
    EXPECT_FALSE(change.becameActive(std::nullopt));  // a moment without an active window
    EXPECT_FALSE(change.becameActive(RunningApplication{"Editor", 11, "Editor"}));
    // Without a pid the identifier does.
    EXPECT_TRUE(change.becameActive(RunningApplication{"Term", 0, "Term"}));
    EXPECT_FALSE(change.becameActive(RunningApplication{"Term", 0, "Term 2"}));
    EXPECT_TRUE(change.becameActive(RunningApplication{"Other", 0, "Other"}));
    EXPECT_TRUE(change.becameActive(RunningApplication{"Other", 12, "Other"}));
}

class WindowSwitchTest : public SignalsFixture {};

TEST_F(WindowSwitchTest, BehaviourCountsApplicationsNotWindows) {
    sim.workspace().focusWindow(RunningApplication{"Editor", 10, "Editor"});
    auto behavioral = Behavioral::create();
    behavioral->start();
    sim.advance(5);
    for (int i = 0; i < 4; ++i) {
        sim.workspace().focusWindow(RunningApplication{"Editor", 10, "Editor"});  // its other windows
        sim.advance(5);
    }
    sim.workspace().focusWindow(RunningApplication{"Browser", 20, "Browser"});
    sim.advance(20);
    const auto report = lastBody("/api/behavioral/log");
    // One switch in 45 s of run time, 25 s after the start: the editor's windows are one span.
    EXPECT_DOUBLE_EQ(report["tab_switches"].get<double>(), 3600.0 / 45.0);
    EXPECT_DOUBLE_EQ(report["avg_session_min"].get<double>(), 25.0 / 60.0);
}

}  // namespace
