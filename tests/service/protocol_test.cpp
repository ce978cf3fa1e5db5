#include <set>

#include <gtest/gtest.h>

#include "service/messages.h"

namespace companion::service {
namespace {

struct FakeSession {
    int calls = 0;
};

TEST(ProtocolTable, SelectorsAreDistinctAndNameEachArgument) {
    std::set<std::string_view> selectors;
    for (const auto& m : serviceMessages) {
        EXPECT_TRUE(selectors.insert(m.selector).second) << m.selector;
        // one colon per argument, plus the reply block for calls
        auto colons = std::count(m.selector.begin(), m.selector.end(), ':');
        EXPECT_EQ(static_cast<size_t>(colons), m.arguments.size() + (m.oneWay ? 0 : 1)) << m.selector;
    }
}

TEST(ProtocolTable, ArgumentsAreTypeChecked) {
    CompanionService<FakeSession> service;
    service.vaultAttachWithPath = [](FakeSession& s, Args<msg::vaultAttachWithPath>, Reply<msg::vaultAttachWithPath> r) {
        ++s.calls;
        r(0, "", "");
    };
    FakeSession session;
    auto sink = [](Value) {};
    const std::string selector(msg::vaultAttachWithPath::selector);
    const Verdict fits;
    auto misfitAt = [](size_t position) { return Verdict{Refusal::badArgument, position}; };
    const std::vector<std::pair<Value, Verdict>> cases = {
        {Value::array({"/p", "pw", true}), fits},
        {Value::array({nullptr, nullptr, false}), fits},    // null objects are empty texts
        {Value::array({"/p", "pw"}), misfitAt(2)},          // too few
        {Value::array({"/p", "pw", true, 1}), misfitAt(3)}, // too many
        {Value::array({"/p", "pw", 1}), misfitAt(2)},       // integer for Bool
        {Value::array({5, "pw", 1}), misfitAt(0)},          // the first misfit is named
        {Value::object(), misfitAt(0)},
    };
    for (const auto& [arguments, verdict] : cases)
        EXPECT_EQ(dispatch(service, session, selector, false, arguments, sink), verdict) << arguments.dump();
    EXPECT_EQ(session.calls, 2);
    EXPECT_EQ(dispatch(service, session, "noSuchMessage:", false, Value::array(), sink).refusal,
              Refusal::unknownSelector);
    EXPECT_EQ(dispatch(service, session, selector, true, Value::array({"/p", "pw", true}), sink).refusal,
              Refusal::wrongKind)
        << "a call sent as one-way";
}

TEST(ProtocolTable, IntegersOutOfRangeDoNotFit) {
    EXPECT_FALSE(wire::Int32::decode(Value(int64_t{1} << 31)));
    EXPECT_EQ(wire::Int32::decode(Value(-5)), -5);
    EXPECT_FALSE(wire::Int64::decode(Value(UINT64_MAX)));
    EXPECT_FALSE(wire::Int64::decode(Value(1.5)));
}

TEST(ProtocolTable, AnEmptySlotAnswersTheRefusedForm) {
    CompanionService<FakeSession> service;
    FakeSession session;
    Value reply;
    ASSERT_TRUE(dispatch(service, session, "vaultAttachWithPath:password:hidden:reply:", false,
                         Value::array({"/p", "pw", true}), [&](Value v) { reply = v; }));
    EXPECT_EQ(reply, Value::array({-1, "", "invalid"}));
    ASSERT_TRUE(dispatch(service, session, "gitStatusWithRoot:reply:", false, Value::array({"/"}),
                         [&](Value v) { reply = v; }));
    EXPECT_EQ(reply, Value::array({-1, Value::binary({})}));
}

using ReplyDeathTest = ::testing::Test;

TEST_F(ReplyDeathTest, ReplyingTwiceOrNeverIsCaught) {
    using Once = Reply<msg::rcloneInstalledWithReply>;
    EXPECT_DEATH({ Once reply([](Value) {}); reply(true); reply(false); }, "sent twice");
    EXPECT_DEATH({ Once reply([](Value) {}); }, "dropped without being sent");
}

}  // namespace
}  // namespace companion::service
