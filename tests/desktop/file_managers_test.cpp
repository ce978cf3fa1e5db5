// What the file managers show, without a desktop: a path bar's buttons as a path, and the windows
// Nautilus publishes in the order they were opened.

#include <gtest/gtest.h>

#include "desktop/file_managers.h"
#include "desktop/nautilus.h"

namespace companion::desktop {
namespace {

PathButton folder(std::string name, bool checked = false) { return {std::move(name), true, checked}; }
const PathButton scroll{"", false, false};

TEST(PathBar, FromTheRootToTheShownFolder) {
    const std::pair<std::vector<PathButton>, std::optional<std::string>> cases[] = {
        {{folder("\u00e9 \u76ee", true), folder("t"), folder("tmp"), folder(""), scroll, scroll}, "/tmp/t/\u00e9 \u76ee"},
        // Gone up a level: the deeper button stays in the bar.
        {{folder("\u00e9 \u76ee"), folder("t", true), folder("tmp"), folder("")}, "/tmp/t"},
        {{folder("tmp"), folder("", true)}, "/"},
        {{folder("t", true), folder("home")}, std::nullopt},       // not down to the root
        {{folder("t"), folder("tmp"), folder("")}, std::nullopt},  // nothing shown
        {{folder("a/b", true), folder("")}, std::nullopt},
    };
    for (const auto& [buttons, path] : cases) EXPECT_EQ(pathOfPathBar(buttons), path) << path.value_or("none");
}

TEST(NautilusWindows, InTheOrderTheyWereOpenedOneLocationEach) {
    const std::vector<PublishedWindow> published = {
        {"/org/gnome/Nautilus/window/10", {"file:///ten", "file:///tab"}},
        {"/org/gnome/Nautilus/window/other", {"file:///unnumbered"}},
        {"/org/gnome/Nautilus/window/2", {}},
        {"/org/gnome/Nautilus/window/1", {"file:///one"}},
    };
    const std::vector<std::string> expected{"file:///one", "", "file:///ten", "file:///unnumbered"};
    EXPECT_EQ(locationsInWindowOrder(published), expected);
}

}  // namespace
}  // namespace companion::desktop
