// Finding a process's Open or Save dialog, against modelled applications.

#include <gtest/gtest.h>

#include "dialogs/support/harness.h"

namespace companion::testing {
namespace {

using service::msg::detectDialogWithPid;
using Detection = detectDialogWithPid::Replies::Tuple;

constexpr int32_t detectedPid = 4242;
const Detection notFound{{}, false, 0};

class Detect : public ::testing::Test {
protected:
    Detection detect() { return h.call<detectDialogWithPid>({detectedPid}); }

    DialogsHarness h;
    Desktop& desktop = *h.desktop;
    UiElement app = desktop.launch(detectedPid);
};

// In screen coordinates of the display at the time; nothing from an application slower than its
// limit, and nothing read at all while the agent is not trusted.
TEST_F(Detect, OpenPanelWindowUnlessTheApplicationIsSlowOrTheAgentUntrusted) {
    app.window().identifier("open-panel").frame(100, 200, 800, 500);
    EXPECT_EQ(detect(), (Detection{{100, 380, 800, 500}, false, 0}));
    desktop.displayHeight = 900;
    EXPECT_EQ(detect(), (Detection{{100, 200, 800, 500}, false, 0}));
    desktop.answerAfter(detectedPid, 1.0);
    EXPECT_EQ(detect(), (Detection{{}, false, ax::cannotComplete}));
    desktop.trusted = false;
    desktop.reads = 0;
    EXPECT_EQ(detect(), (Detection{{}, false, -25211}));
    EXPECT_EQ(desktop.reads, 0u);
}

TEST_F(Detect, SavePanelSheetOfTheFocusedDocumentWindow) {
    auto document = app.window().frame(0, 0, 1000, 700);
    document.child("AXSheet").identifier("save-panel").frame(200, 22, 600, 400);
    app.set("AXFocusedWindow", document.element);
    EXPECT_EQ(detect(), (Detection{{200, 658, 600, 400}, true, 0}));
}

// A panel window whose position cannot be read is no match, but its sheets, and only they, are.
TEST_F(Detect, OnlySheetsOfAWindowWithoutAFrameCount) {
    auto window = app.window().identifier("save-panel").fail("AXPosition", -25204).set("AXSize", ax::Size{800, 500});
    window.child("AXWindow").identifier("open-panel").frame(1, 2, 500, 300);
    window.child("AXGroup").identifier("save-panel").frame(3, 4, 500, 300);
    window.child("AXSheet").identifier("open-panel").frame(10, 20, 500, 300);
    EXPECT_EQ(detect(), (Detection{{10, 760, 500, 300}, false, 0}));
}

// Nothing found: the reply carries the code of reading the application's role.
TEST_F(Detect, OnlyTheFocusedWindowAndTheFirstEightAreCandidates) {
    for (int i = 0; i < 8; ++i) app.window();
    auto ninth = app.window().identifier("open-panel").frame(1, 2, 500, 300);
    EXPECT_EQ(detect(), notFound);
    app.fail("AXRole", -25200);
    EXPECT_EQ(detect(), (Detection{{}, false, -25200}));
    app.role("AXApplication").set("AXFocusedWindow", ninth.element);
    EXPECT_EQ(detect(), (Detection{{1, 778, 500, 300}, false, 0}));
}

// A sheet with no identifier is a Save dialog when at least 420 by 240 with a sidebar outline at
// most five levels below it.
TEST_F(Detect, SizeRule) {
    // Width, height, how many levels down the sidebar is, whether it is a Save dialog.
    const std::tuple<double, double, int, bool> cases[] = {{600, 400, 3, true},  {420, 240, 1, true},
                                                           {600, 400, 5, true},  {419, 400, 3, false},
                                                           {600, 239, 3, false}, {600, 400, 6, false}};
    int32_t next = detectedPid;
    for (const auto& [width, height, levelsDown, isDialog] : cases) {
        SCOPED_TRACE(::testing::Message() << width << " by " << height << ", sidebar " << levelsDown << " down");
        auto parent = desktop.launch(++next).window().child("AXSheet").frame(150, 120, width, height);
        for (int level = 1; level < levelsDown; ++level) parent = parent.child("AXGroup");
        parent.child("AXOutline").description("sidebar");
        const Detection found{{150, 1080 - 120 - height, width, height}, true, 0};
        EXPECT_EQ(h.call<detectDialogWithPid>({next}), isDialog ? found : notFound);
    }
}

}  // namespace
}  // namespace companion::testing
