#include "client/json_bridge.h"

#include <gtest/gtest.h>

namespace companion::client {
namespace {

using Json = nlohmann::json;

TEST(Base64, RoundTripsEveryPaddingLengthAndRefusesWhatIsNotBase64) {
    for (size_t length = 0; length < 7; ++length) {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < length; ++i) bytes.push_back(static_cast<uint8_t>(0xfa + i));
        EXPECT_EQ(base64Decode(base64Encode(bytes)), bytes) << length;
    }
    EXPECT_EQ(base64Encode({'M', 'a'}), "TWE=");
    for (std::string_view text : {"abc", "ab=c", "a===", "TW?=", "TWE=TWE="}) EXPECT_FALSE(base64Decode(text)) << text;
}

TEST(JsonArguments, FollowTheMessageTypes) {
    const auto* sync = service::findServiceMessage(
        "rcloneSyncWithId:source:destination:mirror:checksum:excludes:trashRoot:dryRun:reply:");
    ASSERT_NE(sync, nullptr);
    auto fits = argumentsFromJsonTexts(*sync, {R"("id")", R"("/s")", R"("r:d")", "true", "false", R"(["*.tmp"])",
                                               "null", "false"});
    ASSERT_TRUE(std::holds_alternative<Json>(fits));
    EXPECT_EQ(std::get<Json>(fits)[6], nullptr);

    const std::vector<std::vector<std::string>> refused = {
        {R"("id")"},                                                                                  // too few
        {"1", R"("/s")", R"("r:d")", "true", "false", "[]", "null", "false"},                         // number for text
        {R"("id")", R"("/s")", R"("r:d")", "true", "false", "[1]", "null", "false"},                  // list of numbers
        {R"("id")", R"("/s")", R"("r:d")", "yes", "false", "[]", "null", "false"},                    // not JSON
    };
    for (const auto& texts : refused) EXPECT_TRUE(std::holds_alternative<std::string>(argumentsFromJsonTexts(*sync, texts)));
}

TEST(JsonArguments, DataTravelsAsBase64BothWays) {
    auto bytes = wireFromJson("Data", Json("AAEC"));
    ASSERT_TRUE(std::holds_alternative<Json>(bytes));
    EXPECT_TRUE(std::get<Json>(bytes).is_binary());
    EXPECT_EQ(jsonFromWire(Json::array({-1, std::get<Json>(bytes)})), Json::array({-1, "AAEC"}));
    EXPECT_TRUE(std::holds_alternative<std::string>(wireFromJson("Data", Json("not base64!"))));
}

// A session line is split where a shell would not help: blanks inside JSON values stay.
TEST(CallLines, WordsAndArraysGiveTheSameCall) {
    const std::string words = R"(gitStatusWithRoot:reply:  "/a b/[c]" )";
    const std::string array = R"(["gitStatusWithRoot:reply:", "/a b/[c]"])";
    for (const auto& line : {words, array}) {
        auto call = parseCallLine(line);
        ASSERT_TRUE(std::holds_alternative<CallLine>(call)) << line;
        EXPECT_EQ(std::get<CallLine>(call).selector, "gitStatusWithRoot:reply:");
        EXPECT_EQ(std::get<CallLine>(call).arguments, Json::array({"/a b/[c]"}));
    }
    EXPECT_EQ(callWords(R"(s {"a": "x \" y"} [1, [2, 3]]	true)"),
              (std::vector<std::string>{"s", R"({"a": "x \" y"})", "[1, [2, 3]]", "true"}));
    for (std::string_view refused : {"", "[]", "[1]", R"(s "unclosed)", "s text"})
        EXPECT_TRUE(std::holds_alternative<std::string>(parseCallLine(refused))) << refused;
}

}  // namespace
}  // namespace companion::client
