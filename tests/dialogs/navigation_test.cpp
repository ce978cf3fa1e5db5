// Sending a modelled Open/Save dialog to a folder: the keys posted, the value written, the pace
// of the steps and the one reply.

#include <filesystem>
#include <future>

#include <gtest/gtest.h>

#include "dialogs/support/harness.h"

namespace companion::testing {
namespace {

using namespace std::chrono_literals;
using service::msg::navigateDialogWithPid;
using Events = std::vector<ax::KeyboardEvent>;
using Clock = std::chrono::steady_clock;

constexpr int32_t pid = 7070;
constexpr uint64_t commandShift = ax::commandFlag | ax::shiftFlag;

Events press(uint16_t keyCode, uint64_t flags) { return {{keyCode, true, flags, {}}, {keyCode, false, flags, {}}}; }
Events typed(const std::u16string& chunk) { return {{0, true, std::nullopt, chunk}, {0, false, std::nullopt, chunk}}; }
Events join(std::initializer_list<Events> parts) {
    Events all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}
const Events shortcut = press(5, commandShift);
const Events selectAll = press(0, ax::commandFlag);
const Events returnKey = press(36, 0);

class Navigate : public ::testing::Test {
protected:
    // Starts one request; its reply arrives through the future.
    std::future<bool> start(int32_t target, const std::string& path) {
        auto promise = std::make_shared<std::promise<bool>>();
        auto future = promise->get_future();
        h.session().handle(navigateDialogWithPid::selector, false, navigateDialogWithPid::Args::encode({target, path}),
                           [promise](nlohmann::json values) { promise->set_value(values.at(0).get<bool>()); });
        return future;
    }
    bool navigate(const std::string& path, int32_t target = pid) {
        started = Clock::now();
        auto reply = start(target, path);
        if (reply.wait_for(30s) != std::future_status::ready) throw std::runtime_error("no reply");
        return reply.get();
    }
    // When the first record matching `what` was made, after the request started.
    template <class Kind>
    Clock::duration firstAt(const std::function<bool(const Kind&)>& what = [](const Kind&) { return true; }) {
        for (const auto& record : desktop.records())
            if (auto* kind = std::get_if<Kind>(&record.what); kind && what(*kind)) return record.at - started;
        ADD_FAILURE() << "no such record";
        return {};
    }
    std::vector<std::string> writtenValues() {
        std::vector<std::string> values;
        for (const auto& write : desktop.writes()) values.push_back(write.value);
        return values;
    }

    DialogsHarness h;
    Desktop& desktop = *h.desktop;
    ModelApplication app = desktop.launch(pid);
    TempDir folder;
    const std::string target = folder.str();
    Clock::time_point started;
};

TEST_F(Navigate, FieldFoundAtTheFirstLookTakesThePathAndReturnConfirmsIt) {
    auto dialog = desktop.openDialog(app);
    EXPECT_TRUE(navigate(target));
    EXPECT_EQ(desktop.events(), join({shortcut, returnKey}));
    EXPECT_EQ(writtenValues(), std::vector{target});
    EXPECT_EQ(dialog.confirmedPath(), target);
    // The target gets its moment to come forward, and the dialog its moment to take the path.
    EXPECT_GE(firstAt<ax::KeyboardEvent>(), 120ms);
    EXPECT_GE(firstAt<ax::KeyboardEvent>([](const auto& e) { return e.keyCode == 36; }) - firstAt<AttributeWrite>(), 250ms);
}

TEST_F(Navigate, PathIsEnteredStandardized) {
    auto dialog = desktop.openDialog(app);
    EXPECT_TRUE(navigate(target + "/./x/..//"));
    EXPECT_EQ(dialog.confirmedPath(), target);
}

struct LookCase {
    std::optional<int> fieldFocusedAfterLooks;
    bool replied;
    friend void PrintTo(const LookCase& c, std::ostream* out) {
        *out << "field focused at look " << (c.fieldFocusedAfterLooks ? std::to_string(*c.fieldFocusedAfterLooks) : "never");
    }
};
class Looks : public Navigate, public ::testing::WithParamInterface<LookCase> {};

// One look before the shortcut for the previous focus, then at most 15 for the field. The focus
// starts in a Save dialog's name field: a text field, but not the one the shortcut opens.
TEST_P(Looks, TheFieldIsLookedForFifteenTimesThenTheAlertSounds) {
    desktop.openDialog(app, {.initialFocusRole = "AXTextField", .fieldFocusedAfterLooks = GetParam().fieldFocusedAfterLooks});
    EXPECT_EQ(navigate(target), GetParam().replied);
    if (GetParam().replied) {
        EXPECT_EQ(desktop.beeps(), 0u);
        return;
    }
    EXPECT_EQ(desktop.events(), shortcut);
    EXPECT_EQ(desktop.beeps(), 1u);
    EXPECT_EQ(desktop.reads(), 16u);
    EXPECT_GE(firstAt<Beep>() - firstAt<ax::KeyboardEvent>(), 14 * 80ms);
}
INSTANTIATE_TEST_SUITE_P(Navigate, Looks,
                         ::testing::Values(LookCase{15, true}, LookCase{16, false}, LookCase{std::nullopt, false}));

TEST_F(Navigate, SearchFieldIsNeverTakenForThePathField) {
    desktop.openDialog(app, {.fieldIdentifier = "", .fieldRole = "AXTextField", .fieldSubrole = "AXSearchField"});
    EXPECT_FALSE(navigate(target));
    EXPECT_TRUE(desktop.writes().empty());
    EXPECT_EQ(desktop.beeps(), 1u);
}

TEST_F(Navigate, FieldThatRefusesItsValueIsTypedIntoInChunksOf18Units) {
    // 40 UTF-16 code units, more bytes than that: "é" is one unit and two bytes.
    const size_t nameUnits = 40 - target.size() - 1;
    std::string name;
    for (size_t i = 0; i < nameUnits; ++i) name += "\u00e9";
    const std::string path = target + "/" + name;
    std::filesystem::create_directory(path);
    const std::u16string units = ax::utf16Units(path);
    ASSERT_EQ(units.size(), 40u);

    auto dialog = desktop.openDialog(app, {.fieldIdentifier = "", .fieldRole = "AXComboBox", .fieldRefusesValue = true});
    EXPECT_TRUE(navigate(path));
    EXPECT_EQ(desktop.events(), join({shortcut, selectAll, typed(units.substr(0, 18)), typed(units.substr(18, 18)),
                                      typed(units.substr(36)), returnKey}));
    EXPECT_EQ(writtenValues(), std::vector{path});
    EXPECT_EQ(dialog.confirmedPath(), path);
}

TEST_F(Navigate, FocusLeavingTheFieldBeforeConfirmationStillReplies) {
    auto dialog = desktop.openDialog(app, {.focusLeavesOnValue = true});
    EXPECT_TRUE(navigate(target));
    EXPECT_EQ(desktop.events(), shortcut);
    EXPECT_EQ(dialog.confirmedPath(), std::nullopt);
}

TEST_F(Navigate, AnotherApplicationInFrontEndsTheRequestWithoutAlert) {
    desktop.openDialog(app);
    app.refuseActivation();
    desktop.bringToFront(desktop.launch(pid + 1).pid());
    EXPECT_FALSE(navigate(target));
    EXPECT_TRUE(desktop.records().empty());
}

TEST_F(Navigate, NoSuchProcess) {
    desktop.openDialog(app);
    EXPECT_FALSE(navigate(target, pid + 1));
    EXPECT_TRUE(desktop.records().empty());
}

TEST_F(Navigate, RefusedRequestsTouchNothing) {
    desktop.openDialog(app);
    for (const std::string& path : {std::string("relative/path"), target + "/missing", target + "\t", std::string()})
        EXPECT_FALSE(navigate(path)) << path;
    desktop.trust(false);
    EXPECT_FALSE(navigate(target));
    EXPECT_TRUE(desktop.records().empty());
    EXPECT_EQ(desktop.reads(), 0u);
}

TEST_F(Navigate, TwoRequestsInterleaveAndLeaveTheMainQueueFree) {
    desktop.openDialog(app, {.fieldFocusedAfterLooks = std::nullopt});
    auto first = start(pid, target);
    auto second = start(pid, target);
    const auto deadline = Clock::now() + 30s;
    while (desktop.events().size() < 4 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    // Both shortcuts are out and both requests are still looking; the main queue serves others.
    h.dispatcher.main().sync([] {});
    EXPECT_EQ(desktop.beeps(), 0u);
    EXPECT_EQ(desktop.events(), join({shortcut, shortcut}));
    ASSERT_EQ(first.wait_for(30s), std::future_status::ready);
    ASSERT_EQ(second.wait_for(30s), std::future_status::ready);
    EXPECT_FALSE(first.get());
    EXPECT_FALSE(second.get());
    EXPECT_EQ(desktop.beeps(), 2u);
}

}  // namespace
}  // namespace companion::testing
