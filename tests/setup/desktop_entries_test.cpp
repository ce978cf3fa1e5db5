// Whether the host application is installed: its desktop entry in the freedesktop folders.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "setup/desktop_entries.h"
#include "support/files.h"
#include "support/session_fixture.h"

namespace companion::testing {
namespace {

using setup::applicationFolders;
using setup::findDesktopEntry;
using ::testing::ElementsAre;

TEST(DesktopEntries, FoldersFollowTheDataVariablesAndTheirDefaults) {
    EXPECT_THAT(applicationFolders({}, "/home/ana"),
                ElementsAre("/home/ana/.local/share/applications", "/usr/local/share/applications",
                            "/usr/share/applications"));
    EXPECT_THAT(applicationFolders({{"XDG_DATA_HOME", "/data"}, {"XDG_DATA_DIRS", "/a:relative:/b/"}}, "/home/ana"),
                ElementsAre("/data/applications", "/a/applications", "/b/applications"));
}

TEST(DesktopEntries, TheFirstFolderHoldingTheEntryWins) {
    TempDir root;
    std::vector<std::string> folders{root.str() + "/personal", root.str() + "/system"};
    EXPECT_EQ(findDesktopEntry("es.vextralune.tavro.desktop", folders), std::nullopt);
    writeFile(root.path() / "system/es.vextralune.tavro.desktop", "[Desktop Entry]\n");
    EXPECT_EQ(findDesktopEntry("es.vextralune.tavro.desktop", folders), root.str() + "/system/es.vextralune.tavro.desktop");
    writeFile(root.path() / "personal/es.vextralune.tavro.desktop", "[Desktop Entry]\n");
    EXPECT_EQ(findDesktopEntry("es.vextralune.tavro.desktop", folders), root.str() + "/personal/es.vextralune.tavro.desktop");
}

}  // namespace
}  // namespace companion::testing
