// Finding a process's Open or Save dialog, against modelled applications.

#include <gtest/gtest.h>

#include "dialogs/support/harness.h"

namespace companion::testing {
namespace {

using service::msg::detectDialogWithPid;
using Detection = detectDialogWithPid::Replies::Tuple;

constexpr int32_t pid = 4242;
const Detection notFound{{}, false, 0};

// A sheet with no identifier whose sidebar outline lies `levelsDown` levels below it.
UiElement unidentifiedSheet(UiElement window, double width, double height, int levelsDown) {
    auto sheet = window.child("AXSheet").frame(150, 120, width, height);
    UiElement parent = sheet;
    for (int level = 1; level < levelsDown; ++level) parent = parent.child("AXGroup");
    parent.child("AXOutline").description("sidebar");
    return sheet;
}

class Detect : public ::testing::Test {
protected:
    Detection detect() { return h.call<detectDialogWithPid>({pid}); }

    DialogsHarness h;
    Desktop& desktop = *h.desktop;
    ModelApplication app = desktop.launch(pid);
};

TEST_F(Detect, UntrustedAgentReadsNothing) {
    desktop.trust(false);
    app.window().identifier("open-panel").frame(100, 200, 800, 500);
    EXPECT_EQ(detect(), (Detection{{}, false, -25211}));
    EXPECT_EQ(desktop.reads(), 0u);
}

TEST_F(Detect, OpenPanelWindowInScreenCoordinatesOfTheDisplayNow) {
    app.window().identifier("open-panel").frame(100, 200, 800, 500);
    EXPECT_EQ(detect(), (Detection{{100, 380, 800, 500}, false, 0}));
    desktop.displayHeight = 900;
    EXPECT_EQ(detect(), (Detection{{100, 200, 800, 500}, false, 0}));
}

TEST_F(Detect, SavePanelSheetOfADocumentWindow) {
    auto document = app.window().frame(0, 0, 1000, 700);
    document.child("AXSheet").identifier("save-panel").frame(200, 22, 600, 400);
    app.focusWindow(document);
    EXPECT_EQ(detect(), (Detection{{200, 658, 600, 400}, true, 0}));
}

TEST_F(Detect, WindowWhosePositionCannotBeReadIsPassedForItsSheets) {
    auto window = app.window().identifier("save-panel").fail("AXPosition", -25204).set("AXSize", ax::Size{800, 500});
    window.child("AXSheet").identifier("open-panel").frame(10, 20, 500, 300);
    EXPECT_EQ(detect(), (Detection{{10, 760, 500, 300}, false, 0}));
}

TEST_F(Detect, OnlySheetChildrenCount) {
    auto window = app.window();
    window.child("AXWindow").identifier("open-panel").frame(10, 20, 500, 300);
    window.child("AXGroup").identifier("save-panel").frame(10, 20, 500, 300);
    EXPECT_EQ(detect(), notFound);
}

TEST_F(Detect, ApplicationWithoutWindows) { EXPECT_EQ(detect(), notFound); }

TEST_F(Detect, OnlyTheFocusedWindowAndTheFirstEightAreCandidates) {
    for (int i = 0; i < 8; ++i) app.window();
    auto ninth = app.window().identifier("open-panel").frame(1, 2, 500, 300);
    EXPECT_EQ(detect(), notFound);
    app.focusWindow(ninth);
    EXPECT_EQ(detect(), (Detection{{1, 778, 500, 300}, false, 0}));
}

TEST_F(Detect, ProcessThatDoesNotAnswerGivesItsCode) {
    app.window().identifier("open-panel").frame(100, 200, 800, 500);
    app.failReads(-25204);
    EXPECT_EQ(detect(), (Detection{{}, false, -25204}));
}

TEST_F(Detect, ApplicationSlowerThanItsLimitCountsAsNotAnswering) {
    app.window().identifier("open-panel").frame(100, 200, 800, 500);
    app.answerAfter(1.0);
    EXPECT_EQ(detect(), (Detection{{}, false, ax::cannotComplete}));
}

TEST_F(Detect, NoSuchProcess) { EXPECT_EQ(h.call<detectDialogWithPid>({pid + 1}), (Detection{{}, false, ax::cannotComplete})); }

struct SizeRuleCase {
    double width, height;
    int sidebarLevelsDown;
    bool found;
    friend void PrintTo(const SizeRuleCase& c, std::ostream* out) {
        *out << c.width << " by " << c.height << ", sidebar " << c.sidebarLevelsDown << " levels down";
    }
};

class SizeRule : public Detect, public ::testing::WithParamInterface<SizeRuleCase> {};

TEST_P(SizeRule, UnidentifiedSheetIsASaveDialogWhenLargeWithASidebar) {
    const auto& c = GetParam();
    unidentifiedSheet(app.window(), c.width, c.height, c.sidebarLevelsDown);
    const Detection expected = c.found ? Detection{{150, 1080 - 120 - c.height, c.width, c.height}, true, 0} : notFound;
    EXPECT_EQ(detect(), expected);
}

INSTANTIATE_TEST_SUITE_P(Detect, SizeRule,
                         ::testing::Values(SizeRuleCase{600, 400, 3, true}, SizeRuleCase{420, 240, 1, true},
                                           SizeRuleCase{600, 400, 5, true}, SizeRuleCase{419, 400, 3, false},
                                           SizeRuleCase{600, 239, 3, false}, SizeRuleCase{600, 400, 6, false}));

}  // namespace
}  // namespace companion::testing
