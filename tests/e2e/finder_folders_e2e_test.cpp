// The Finder's folders through the built agent, from the real file managers on a headless desktop:
// each shows where it is in its own way (a location entry, a bar of folder buttons, the session
// bus), and each must answer the same: every window's folder once, in window order.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "support/assistant_fixture.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;

struct FileManagerCase {
    std::string name;
    std::string program;
    std::string desktopEntry;  // the desktop's handler of folders while the row runs
    std::vector<std::string> firstWindow, nextWindow;  // the arguments before the folder
};

void PrintTo(const FileManagerCase& c, std::ostream* out) { *out << c.name; }

class FinderFoldersFrom : public DialogAssistant, public ::testing::WithParamInterface<FileManagerCase> {
protected:
    DesktopChild open(const std::vector<std::string>& arguments, const fs::path& shown) {
        std::vector<std::string> argv{GetParam().program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back(shown.string());
        return desktop.launch(argv);
    }
    json folders(const std::vector<fs::path>& paths) {
        json list = json::array();
        for (const auto& path : paths) list.push_back(path.string());
        return json::array({list});
    }
};

// The second window opens once the first is seen, so that window order is the order of opening
// (a file manager still starting up would take the second request as its own first window).
TEST_P(FinderFoldersFrom, EveryWindowsFolderOnceInWindowOrder) {
    const FileManagerCase& c = GetParam();
    if (!fs::exists(c.program)) GTEST_SKIP() << c.program << " is not installed";
    desktop.chooseFolderHandler(c.desktopEntry);
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    const fs::path first = folder("dossier \u00e9 \u76ee", 1), second = folder("second", 0);
    auto firstProgram = open(c.firstWindow, first);
    const json one = folders({first});
    ASSERT_EQ(lookUntil({"finderFoldersWithReply:"}, [&](const json& r) { return r == one; }), one);
    auto nextProgram = open(c.nextWindow, second);
    const json both = folders({first, second});
    EXPECT_EQ(lookUntil({"finderFoldersWithReply:"}, [&](const json& r) { return r == both; }), both);
}

const FileManagerCase fileManagers[] = {
    {"PCManFM", "/usr/bin/pcmanfm", "pcmanfm.desktop", {"--no-desktop"}, {"--new-win"}},
    {"Thunar", "/usr/bin/thunar", "thunar.desktop", {}, {}},
    {"Nemo", "/usr/bin/nemo", "nemo.desktop", {"--no-desktop"}, {"--no-desktop"}},
    {"Nautilus", "/usr/bin/nautilus", "org.gnome.Nautilus.desktop", {"--new-window"}, {"--new-window"}},
};
INSTANTIATE_TEST_SUITE_P(Desktop, FinderFoldersFrom, ::testing::ValuesIn(fileManagers),
                         [](const auto& info) { return info.param.name; });

// However many windows are open, only the first twelve are read, and the reply comes.
TEST_F(DialogAssistant, FinderFoldersOfAFileManagerWithFiftyWindows) {
    constexpr int windows = 50;
    constexpr size_t windowsRead = 12;
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    std::vector<fs::path> shown;
    for (int i = 0; i < windows; ++i) shown.push_back(folder("w" + std::to_string(i), 0));
    auto manager = desktop.launch({fileManagerProgram, "--no-desktop", shown.front().string()});
    ASSERT_EQ(lookUntil({"finderFoldersWithReply:"}, [](const json& r) { return r[0].size() == 1; })[0].size(), 1u);
    // One at a time: the running file manager opens each handed-over window before the next.
    for (int i = 1; i < windows; ++i) {
        DesktopChild opener = desktop.launch({fileManagerProgram, "--new-win", shown[size_t(i)].string()});
        opener.waitForLine("\n");  // it prints no such line: this waits until it has handed over
    }
    json expected = json::array();
    for (size_t i = 0; i < windowsRead; ++i) expected.push_back(shown[i].string());
    EXPECT_EQ(lookUntil({"finderFoldersWithReply:"}, [&](const json& r) { return r[0] == expected; })[0], expected);
}

}  // namespace
}  // namespace companion::testing
