// Sending a modelled Open/Save dialog to a folder: the keys posted, the value written, the pace
// of the steps and the one reply.

#include <filesystem>
#include <future>

#include <gtest/gtest.h>

#include "dialogs/support/harness.h"
#include "support/eventually.h"

namespace companion::testing {
namespace {

using namespace std::chrono_literals;
using service::msg::navigateDialogWithPid;
using Events = std::vector<ax::KeyboardEvent>;
using Clock = std::chrono::steady_clock;

constexpr int32_t navigatedPid = 7070;

Events press(uint16_t keyCode, uint64_t flags) { return {{keyCode, true, flags, {}}, {keyCode, false, flags, {}}}; }
Events typed(const std::u16string& chunk) { return {{0, true, std::nullopt, chunk}, {0, false, std::nullopt, chunk}}; }
Events join(std::initializer_list<Events> parts) {
    Events all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
const Events shortcut = press(5, ax::commandFlag | ax::shiftFlag);
const Events selectAll = press(0, ax::commandFlag);
const Events returnKey = press(36, 0);

class Navigate : public ::testing::Test {
protected:
    // Starts one request; its reply arrives through the future.
    std::future<bool> start(int32_t target, const std::string& path) {
        auto promise = std::make_shared<std::promise<bool>>();
        h.session().handle(navigateDialogWithPid::selector, false, navigateDialogWithPid::Args::encode({target, path}),
                           [promise](nlohmann::json values) { promise->set_value(values.at(0).get<bool>()); });
        return promise->get_future();
    }
    bool navigate(const std::string& path, int32_t target = navigatedPid) {
        started = Clock::now();
        return std::get<0>(h.call<navigateDialogWithPid>({target, path}));
    }
    // How long after the start the first record of this kind, and matching `what`, was made.
    template <class Kind>
    Clock::duration firstAt(const std::function<bool(const Kind&)>& what = [](const Kind&) { return true; }) {
        for (const auto& record : desktop.records())
            if (auto* kind = std::get_if<Kind>(&record.what); kind && what(*kind)) return record.at - started;
        ADD_FAILURE() << "no such record";
        return {};
    }

    DialogsHarness h;
    Desktop& desktop = *h.desktop;
    UiElement app = desktop.launch(navigatedPid);
    TempDir folder;
    const std::string target = folder.str();
    Clock::time_point started;
};

TEST_F(Navigate, FieldFoundAtTheFirstLookTakesTheStandardizedPathAndReturnConfirmsIt) {
    desktop.openDialog(app);
    EXPECT_TRUE(navigate(target + "/./x/..//"));
    EXPECT_EQ(desktop.recorded<ax::KeyboardEvent>(), join({shortcut, returnKey}));
    EXPECT_EQ(desktop.recorded<AttributeWrite>(), (std::vector<AttributeWrite>{{"AXValue", target}}));
    // The target gets its moment to come forward, and the dialog its moment to take the path.
    EXPECT_GE(firstAt<ax::KeyboardEvent>(), 120ms);
    EXPECT_GE(firstAt<ax::KeyboardEvent>([](const auto& e) { return e.keyCode == 36; }) - firstAt<AttributeWrite>(), 250ms);
}

// One look before the shortcut for the previous focus, then at most 15 for the field.
class Looks : public Navigate, public ::testing::WithParamInterface<int> {};

TEST_P(Looks, TheFieldIsLookedForFifteenTimesThenTheAlertSounds) {
    desktop.openDialog(app, {.fieldFocusedAtLook = GetParam()});
    const bool found = GetParam() <= 15;
    EXPECT_EQ(navigate(target), found);
    EXPECT_EQ(desktop.recorded<Beep>().size(), found ? 0u : 1u);
    if (found) return;
    EXPECT_EQ(desktop.recorded<ax::KeyboardEvent>(), shortcut);
    // The focus before the shortcut, then each look: the focus and its identifier.
    EXPECT_EQ(desktop.reads, 31u);
    EXPECT_GE(firstAt<Beep>() - firstAt<ax::KeyboardEvent>(), 14 * 80ms);
}
INSTANTIATE_TEST_SUITE_P(Navigate, Looks, ::testing::Values(15, 16),
                         [](const auto& info) { return "fieldAtLook" + std::to_string(info.param); });

TEST_F(Navigate, SearchFieldIsNeverTakenForThePathField) {
    desktop.openDialog(app).identifier("").set("AXSubrole", std::string("AXSearchField"));
    EXPECT_FALSE(navigate(target));
    EXPECT_TRUE(desktop.recorded<AttributeWrite>().empty());
    EXPECT_EQ(desktop.recorded<Beep>().size(), 1u);
}

TEST_F(Navigate, FieldThatRefusesItsValueIsTypedIntoInChunksOf18Units) {
    // 40 UTF-16 code units, more bytes than that: "\u00e9" is one unit and two bytes.
    std::string path = target + "/";
    while (ax::utf16Units(path).size() < 40) path += "\u00e9";
    std::filesystem::create_directory(path);
    const std::u16string units = ax::utf16Units(path);
    ASSERT_EQ(units.size(), 40u);

    desktop.openDialog(app, {.refusesValue = true}).identifier("").role("AXComboBox");
    EXPECT_TRUE(navigate(path));
    EXPECT_EQ(desktop.recorded<ax::KeyboardEvent>(),
              join({shortcut, selectAll, typed(units.substr(0, 18)), typed(units.substr(18, 18)), typed(units.substr(36)),
                    returnKey}));
}

TEST_F(Navigate, FocusLeavingTheFieldBeforeConfirmationStillReplies) {
    desktop.openDialog(app, {.focusLeavesOnValue = true});
    EXPECT_TRUE(navigate(target));
    EXPECT_EQ(desktop.recorded<ax::KeyboardEvent>(), shortcut);
}

TEST_F(Navigate, TargetNotInFrontEndsTheRequestWithoutAlert) {
    desktop.openDialog(desktop.launch(navigatedPid + 1));  // another application's dialog in front
    desktop.refuseActivation(navigatedPid);
    EXPECT_FALSE(navigate(target));
    EXPECT_FALSE(navigate(target, navigatedPid + 2));  // no such process
    EXPECT_TRUE(desktop.records().empty());
}

TEST_F(Navigate, RefusedRequestsTouchNothing) {
    desktop.openDialog(app);
    EXPECT_FALSE(navigate(target + "/missing"));
    desktop.trusted = false;
    EXPECT_FALSE(navigate(target));
    EXPECT_TRUE(desktop.records().empty());
    EXPECT_EQ(desktop.reads, 0u);
}

TEST_F(Navigate, TwoRequestsInterleaveAndLeaveTheMainQueueFree) {
    desktop.openDialog(app, {.fieldFocusedAtLook = std::nullopt});
    auto first = start(navigatedPid, target);
    auto second = start(navigatedPid, target);
    eventually([&] { return desktop.recorded<ax::KeyboardEvent>().size() >= 4; }, 30s);
    // Both shortcuts are out and both requests are still looking; the main queue serves others.
    h.dispatcher.main().sync([] {});
    EXPECT_EQ(desktop.recorded<Beep>().size(), 0u);
    EXPECT_EQ(desktop.recorded<ax::KeyboardEvent>(), join({shortcut, shortcut}));
    for (auto* reply : {&first, &second}) {
        ASSERT_EQ(reply->wait_for(30s), std::future_status::ready);
        EXPECT_FALSE(reply->get());
    }
    EXPECT_EQ(desktop.recorded<Beep>().size(), 2u);
}

}  // namespace
}  // namespace companion::testing
