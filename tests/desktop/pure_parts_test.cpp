// The desktop plugin's pure parts, without a desktop: roles to the interface's names, the
// assistant's keys to actions, toolkits by name, panel identifiers and file URLs.

#include <gtest/gtest.h>

#include "desktop/file_managers.h"
#include "desktop/gtk3.h"
#include "desktop/keys.h"
#include "desktop/portal.h"
#include "desktop/qt.h"
#include "desktop/roles.h"
#include "desktop/toolkits.h"

namespace companion::desktop {
namespace {

using namespace accessibility;

TEST(DesktopRoles, MapOntoTheNamesTheAssistantReads) {
    const std::pair<AtspiRole, std::string_view> cases[] = {
        {ATSPI_ROLE_FILE_CHOOSER, "AXWindow"}, {ATSPI_ROLE_DIALOG, "AXWindow"},
        {ATSPI_ROLE_ENTRY, "AXTextField"},     {ATSPI_ROLE_TEXT, "AXTextField"},
        {ATSPI_ROLE_COMBO_BOX, "AXComboBox"},  {ATSPI_ROLE_TREE_TABLE, "AXOutline"},
        {ATSPI_ROLE_FILLER, "AXGroup"},
    };
    for (auto [role, name] : cases) EXPECT_EQ(roleName(role), name) << role;
    EXPECT_TRUE(isCollectionRole(ATSPI_ROLE_TREE_TABLE));
    EXPECT_FALSE(isCollectionRole(ATSPI_ROLE_FILE_CHOOSER));
}

TEST(DesktopKeys, EachPressOfTheAssistantIsOneAction) {
    const std::pair<KeyboardEvent, KeyAction> cases[] = {
        {{gKeyCode, true, commandFlag | shiftFlag, {}}, KeyAction::goToFolder},
        {{gKeyCode, true, commandFlag, {}}, KeyAction::none},
        {{aKeyCode, true, commandFlag, {}}, KeyAction::selectAll},
        {{aKeyCode, true, std::nullopt, u"/tmp"}, KeyAction::typeText},
        {{returnKeyCode, true, 0, {}}, KeyAction::confirm},
        {{returnKeyCode, false, 0, {}}, KeyAction::none},
    };
    for (const auto& [event, action] : cases) EXPECT_EQ(keyActionOf(event), action) << event.keyCode;
}

TEST(DesktopKeys, TextKeepsCharactersBeyondTheBasicPlane) {
    EXPECT_EQ(utf32(utf16Units("é目😀")), U"é目😀");
    EXPECT_EQ(utf32(u"\xD800x"), U"\xD800x");  // a lone surrogate stays one character
}

TEST(DesktopToolkits, KnownByNameAndVersion) {
    EXPECT_EQ(toolkitNamed("gtk", "3.24.38"), Toolkit::gtk3);
    EXPECT_EQ(toolkitNamed("GTK", "4.8.3"), Toolkit::gtk4);
    EXPECT_EQ(toolkitNamed("Qt", "6.4.2"), Toolkit::qt);
    EXPECT_EQ(toolkitNamed("", ""), Toolkit::other);
}

TEST(DesktopPanels, IdentifiersAndQtSaveButtons) {
    EXPECT_EQ(panelIdentifierOf(Panel::open), openPanelIdentifier);
    EXPECT_EQ(panelIdentifierOf(Panel::save), savePanelIdentifier);
    EXPECT_TRUE(qt::isSaveButtonName("Enregistrer"));
    EXPECT_FALSE(qt::isSaveButtonName("Open"));
}

TEST(DesktopFileManagers, FolderUrlsEncodeEveryByteButTheUnreserved) {
    EXPECT_EQ(fileUrl("/home/a b/é"), "file:///home/a%20b/%C3%A9");
    EXPECT_EQ(fileUrl("/x-y_z.~/100%"), "file:///x-y_z.~/100%25");
}

// The program's unique name names the folder of its requests; the pending ones are its child nodes.
TEST(DesktopPortal, RequestsOfAProgram) {
    EXPECT_EQ(portalRequestFolder(":1.52"), "/org/freedesktop/portal/desktop/request/1_52");
    EXPECT_EQ(childNodes(R"(<node name="/org/x"><interface name="a.b"/><node name="gtk123"/><node name="t2"/></node>)"),
              (std::vector<std::string>{"gtk123", "t2"}));
    EXPECT_TRUE(childNodes("<node></node>").empty());
}

// A chooser's path bar lists its folders deepest first down to the root; a walk starts from the
// deepest that holds the target, deeper buttons left from going up included.
TEST(DesktopChooserWalk, StartsFromTheDeepestFolderOnTheWay) {
    using Folders = std::vector<std::string>;
    const Folders bar{"start", "p", "tmp", "File System Root"};
    EXPECT_EQ(gtk3::foldersOfButton(bar, 0), (Folders{"tmp", "p", "start"}));
    EXPECT_EQ(gtk3::foldersOfButton(bar, 3), Folders{});
    EXPECT_EQ(gtk3::foldersOfButton(bar, 4), Folders{});
    const std::pair<Folders, size_t> cases[] = {
        {{"tmp", "p", "dossier \u00e9 \u76ee"}, 1},  // a sibling: from the parent
        {{"tmp", "p", "start", "inner"}, 0},           // below the shown folder (or a deeper button)
        {{"tmp", "p"}, 1},
        {{"usr", "lib"}, 3},  // elsewhere: from the root
        {{}, 3},
        {{"tmp", "pp"}, 2},  // a name that only begins like a button's is another folder
    };
    for (const auto& [target, start] : cases) EXPECT_EQ(gtk3::walkStart(bar, target), start) << target.size();
    EXPECT_EQ(gtk3::walkStart({}, {"tmp"}), 0u);
}

}  // namespace
}  // namespace companion::desktop
