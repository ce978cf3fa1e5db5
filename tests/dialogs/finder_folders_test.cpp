// The Finder's folders, the trust message and the element helpers, against modelled applications.

#include <gtest/gtest.h>

#include "dialogs/finder_folders.h"
#include "dialogs/support/harness.h"

namespace companion::testing {
namespace {

using service::msg::accessibilityWithPrompt;
using service::msg::finderFoldersWithReply;
using Folders = std::vector<std::string>;

class FinderFolders : public ::testing::Test {
protected:
    Folders folders() { return std::get<0>(h.call<finderFoldersWithReply>({})); }
    void windowShowing(const std::string& url) { finder.window().set("AXDocument", url); }

    DialogsHarness h;
    Desktop& desktop = *h.desktop;
    UiElement finder = desktop.launch(300, "com.apple.finder");
};

// Windows without a file document are skipped, though they count among the twelve read; a path
// shown twice counts at its first place.
TEST_F(FinderFolders, EachFilePathOnceInWindowOrderFromTheFirstTwelveWindows) {
    windowShowing("file:///Users/me/");
    windowShowing("https://example.com/a");
    finder.window();
    finder.window().set("AXDocument", ax::Point{1, 2});
    finder.window().fail("AXDocument", ax::cannotComplete);
    for (auto url : {"file:///Users/me/My%20Files/%C3%A9t%C3%A9/", "file:///Users/me"}) windowShowing(url);
    Folders expected{"/Users/me", "/Users/me/My Files/\u00e9t\u00e9"};
    for (int i = 7; i < 15; ++i) {
        windowShowing("file:///w" + std::to_string(i));
        if (i < 12) expected.push_back("/w" + std::to_string(i));
    }
    EXPECT_EQ(folders(), expected);
}

// A file manager that publishes its windows' documents is taken at its word, under the same rules.
TEST_F(FinderFolders, PublishedDocumentsStandForTheWindows) {
    windowShowing("file:///never/read");
    Folders published{"file:///a/%C3%A9%20%E7%9B%AE", "trash:///", "", "file:///a/%C3%A9%20%E7%9B%AE/"};
    Folders expected{"/a/\u00e9 \u76ee"};
    for (int i = 0; i < 14; ++i) {
        published.push_back("file:///w" + std::to_string(i));
        if (i < 8) expected.push_back("/w" + std::to_string(i));
    }
    desktop.publishedDocuments[300] = published;
    EXPECT_EQ(folders(), expected);
}

TEST_F(FinderFolders, EmptyWhenUntrustedOrWithoutFinder) {
    windowShowing("file:///Users/me");
    desktop.trusted = false;
    EXPECT_EQ(folders(), Folders{});
    EXPECT_EQ(desktop.reads, 0u);

    DialogsHarness noFinder;
    noFinder.desktop->launch(301, "org.example.other").window().set("AXDocument", std::string("file:///Users/me"));
    EXPECT_EQ(std::get<0>(noFinder.call<finderFoldersWithReply>({})), Folders{});
}

TEST(FileUrl, PathOfAFileUrl) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"file:///a/./b/../c/", "/a/c"},
        {"file://localhost/a%2Fb", "/a/b"},
        {"FILE:///a?query#fragment", "/a"},
        {"file:/a", "/a"},
        {"file://", std::nullopt},
        {"file:relative", std::nullopt},
        {"file:///a%2", std::nullopt},
        {"file:///a%zz", std::nullopt},
        {"file:///a%00b", std::nullopt},
        {"file:///a%FF", std::nullopt},
        {"file:///a b", std::nullopt},
        {"/a", std::nullopt},
    };
    for (const auto& [url, path] : cases) EXPECT_EQ(dialogs::filePathOfUrl(url), path) << url;
}

TEST(Trust, AnsweredAtOnceAndAskedForOnlyWithPrompt) {
    DialogsHarness h;
    h.desktop->trusted = false;
    EXPECT_EQ(h.call<accessibilityWithPrompt>({false}), std::tuple{false});
    EXPECT_EQ(h.desktop->prompts, 0u);
    EXPECT_EQ(h.call<accessibilityWithPrompt>({true}), std::tuple{false});
    EXPECT_EQ(h.desktop->prompts, 1u);
    h.desktop->trusted = true;
    EXPECT_EQ(h.call<accessibilityWithPrompt>({true}), std::tuple{true});
}

TEST(ElementAccess, NoFrameWithoutASizeAndNoFocusWithoutAFocusedElement) {
    Desktop desktop;
    auto window = desktop.launch(1).window().set("AXPosition", ax::Point{1, 2}).fail("AXSize", ax::cannotComplete);
    EXPECT_EQ(dialogs::frameOfElement(desktop, window.element), std::nullopt);
    EXPECT_EQ(dialogs::focusedElement(desktop), std::nullopt);
}

}  // namespace
}  // namespace companion::testing
