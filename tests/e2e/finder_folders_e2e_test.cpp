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

class FileManagerWindows : public DialogAssistant {
protected:
    using Paths = std::vector<std::string>;
    // The folders listed once they are these, or the last list when they never were.
    Paths foldersUntil(const Paths& expected) {
        const json reply = lookUntil({"finderFoldersWithReply:"}, [&](const json& r) { return r[0] == expected; });
        return reply.is_null() ? Paths{} : reply[0].get<Paths>();
    }
    DesktopChild open(const std::string& program, std::vector<std::string> arguments, const std::string& shown) {
        arguments.insert(arguments.begin(), program);
        arguments.push_back(shown);
        return desktop.launch(arguments);
    }
};

class FinderFoldersFrom : public FileManagerWindows, public ::testing::WithParamInterface<FileManagerCase> {};

// The second window opens once the first is seen, so that window order is the order of opening
// (a file manager still starting up would take the second request as its own first window).
TEST_P(FinderFoldersFrom, EveryWindowsFolderOnceInWindowOrder) {
    const FileManagerCase& c = GetParam();
    if (!fs::exists(c.program)) GTEST_SKIP() << c.program << " is not installed";
    desktop.chooseFolderHandler(c.desktopEntry);
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    const std::string first = folder("dossier \u00e9 \u76ee", 1), second = folder("second", 0);
    auto firstProgram = open(c.program, c.firstWindow, first);
    ASSERT_EQ(foldersUntil({first}), Paths{first});
    auto nextProgram = open(c.program, c.nextWindow, second);
    EXPECT_EQ(foldersUntil({first, second}), (Paths{first, second}));
}

const FileManagerCase fileManagers[] = {
    {"PCManFM", fileManagerProgram, "pcmanfm.desktop", {"--no-desktop"}, {"--new-win"}},
    {"Thunar", "/usr/bin/thunar", "thunar.desktop", {}, {}},
    {"Nemo", "/usr/bin/nemo", "nemo.desktop", {"--no-desktop"}, {"--no-desktop"}},
    {"Nautilus", "/usr/bin/nautilus", "org.gnome.Nautilus.desktop", {"--new-window"}, {"--new-window"}},
};
INSTANTIATE_TEST_SUITE_P(Desktop, FinderFoldersFrom, ::testing::ValuesIn(fileManagers),
                         [](const auto& info) { return info.param.name; });

// However many windows are open, only the first twelve are read, and the reply comes.
TEST_F(FileManagerWindows, FiftyWindowsGiveTheFirstTwelve) {
    ASSERT_TRUE(desktop.switchAssistiveTechnologies(true));
    startAgent();
    Paths shown;
    for (int i = 0; i < 50; ++i) shown.push_back(folder("w" + std::to_string(i), 0));
    auto manager = open(fileManagerProgram, {"--no-desktop"}, shown[0]);
    ASSERT_EQ(foldersUntil({shown[0]}), Paths{shown[0]});
    // One at a time: the running file manager opens each handed-over window before the next.
    for (size_t i = 1; i < shown.size(); ++i)
        open(fileManagerProgram, {"--new-win"}, shown[i]).waitForLine("\n");  // no such line: until it ends
    const Paths firstTwelve(shown.begin(), shown.begin() + 12);
    EXPECT_EQ(foldersUntil(firstTwelve), firstTwelve);
}

}  // namespace
}  // namespace companion::testing
