#include "platform/ipc/wire.h"

#include <gtest/gtest.h>

#include "support/raw_client.h"

namespace companion::ipc {
namespace {

using testing::packed;

std::string payloadOf(const std::string& frame) { return frame.substr(frameHeaderSize); }

TEST(Wire, EveryMessageKindSurvivesARoundTrip) {
    std::vector<Message> messages = {
        Greeting{"tavro-companion", 1},
        Call{7, "helloWithReply:", Json::array()},
        Call{UINT64_MAX, "x:", Json::array({"a", 1, true, nullptr, Json::binary({1, 2}), Json::object({{"k", "v"}})})},
        ReplyMessage{9, Json::array({1, "0.1.0"})},
        OneWay{"syncOutput:line:", Json::array({"id", "line"})},
    };
    for (const auto& message : messages) {
        auto decoded = decodeMessage(payloadOf(encodeFrame(message)));
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->index(), message.index());
        EXPECT_EQ(payloadOf(encodeFrame(*decoded)), payloadOf(encodeFrame(message)));
    }
}

TEST(Wire, FrameHeaderIsTheBigEndianPayloadLength) {
    const std::string frame = encodeFrame(Call{1, std::string(300, 'a'), Json::array()});
    EXPECT_EQ(frame, testing::frameOf(payloadOf(frame))) << "frameOf writes the length big-endian";
}

TEST(Wire, ValuesThatAreNotMessagesAreRefused) {
    const std::vector<Json> refused = {
        Json(42),
        Json::array(),
        Json::array({9, "x"}),                               // unknown kind
        Json::array({1, -1, "sel:", Json::array()}),         // negative sequence
        Json::array({1, 1, "sel:"}),                         // call without arguments
        Json::array({1, 1, 5, Json::array()}),               // selector not text
        Json::array({1, 1, "sel:", Json::object()}),         // arguments not a list
        Json::array({0, "tavro-companion"}),                 // greeting without version
        Json::array({3, "sel:", "not a list"}),
    };
    for (const auto& value : refused)
        EXPECT_EQ(decodeMessage(packed(value)).refusal, FrameRefusal::notAMessage) << value.dump();
}

TEST(Wire, OnlyThisProtocolsGreetingOpensAConnection) {
    const std::vector<std::pair<std::string, FrameRefusal>> cases = {
        {payloadOf(encodeFrame(Greeting{"tavro-companion", 1})), FrameRefusal::none},
        {payloadOf(encodeFrame(Greeting{"tavro-companion", 2})), FrameRefusal::badGreeting},
        {payloadOf(encodeFrame(Greeting{"other", 1})), FrameRefusal::badGreeting},
        {payloadOf(encodeFrame(Call{1, "helloWithReply:", Json::array()})), FrameRefusal::badGreeting},
        {packed(Json::array({0, "tavro-companion"})), FrameRefusal::notAMessage},
        {std::string("\xc1", 1), FrameRefusal::notMessagePack},
    };
    for (const auto& [payload, expected] : cases) EXPECT_EQ(checkGreeting(payload), expected);
}

TEST(Wire, MalformedMessagePackIsRefusedWithoutReadingPastTheEnd) {
    std::string valid = packed(Json::array({1, 1, "helloWithReply:", Json::array()}));
    // every proper prefix of a valid value is truncated
    for (size_t cut = 0; cut < valid.size(); ++cut) EXPECT_FALSE(isAcceptableMessagePack(valid.substr(0, cut))) << cut;
    EXPECT_TRUE(isAcceptableMessagePack(valid));
    EXPECT_FALSE(isAcceptableMessagePack(valid + '\0')) << "trailing bytes";
    const std::vector<std::string> hostile = {
        std::string("\xdd\xff\xff\xff\xff", 5),              // array claiming 4 billion elements
        std::string("\xdb\x7f\xff\xff\xff" "abc", 8),         // string longer than the frame
        std::string("\xc6\xff\xff\xff\xff", 5),              // binary longer than the frame
        std::string("\xdf\x00\x00\x00\x02\x01", 6),          // map with missing entries
        std::string("\xd4\x01\x00", 3),                      // extension type
        std::string("\xc1", 1),                              // never used
    };
    for (const auto& bytes : hostile) EXPECT_FALSE(isAcceptableMessagePack(bytes));
}

TEST(Wire, NestingIsLimitedWithoutRecursion) {
    // a million nested one-element arrays: refused quickly, and the walk cannot blow the stack
    std::string deep(1'000'000, '\x91');
    deep += '\x01';
    EXPECT_FALSE(isAcceptableMessagePack(deep));
    EXPECT_EQ(decodeMessage(deep).refusal, FrameRefusal::notMessagePack);
    std::string shallow(maxNesting, '\x91');
    shallow += '\x01';
    EXPECT_TRUE(isAcceptableMessagePack(shallow));
    EXPECT_FALSE(isAcceptableMessagePack('\x91' + shallow));
}

TEST(Wire, MapsNeedTextKeys) {
    // [3, "s:", [{1: 2}]]
    const std::string intKey("\x93\x03\xa2s:\x91\x81\x01\x02", 9);
    const std::string textKey("\x93\x03\xa2s:\x91\x81\xa1k\x02", 10);
    EXPECT_EQ(decodeMessage(intKey).refusal, FrameRefusal::notMessagePack);
    EXPECT_TRUE(decodeMessage(textKey));
}

TEST(Wire, DirectlyWrittenCallbacksReadTheSameBothWays) {
    // every text length class: fixstr, str8, str16, str32
    for (size_t length : {0u, 31u, 32u, 255u, 256u, 65535u, 65536u}) {
        const std::string line(length, 'x');
        std::string frames;
        appendStringOneWayFrame(frames, "syncOutput:line:", {"id", line});
        FrameReader reader(UINT32_MAX);
        reader.append(frames.data(), frames.size());
        std::string payload;
        ASSERT_EQ(reader.next(payload), FrameReader::Status::frame);
        EXPECT_EQ(payload, payloadOf(encodeFrame(OneWay{"syncOutput:line:", Json::array({"id", line})}))) << length;
        std::string selector;
        std::vector<std::string> arguments;
        ASSERT_TRUE(decodeStringOneWay(payload, selector, arguments)) << length;
        EXPECT_EQ(selector, "syncOutput:line:");
        EXPECT_EQ(arguments, (std::vector<std::string>{"id", line}));
    }
}

TEST(Wire, TheDirectReaderLeavesEveryOtherShapeToTheGeneralOne) {
    std::string selector;
    std::vector<std::string> arguments;
    const std::vector<Message> others = {
        OneWay{"cancelSyncWithId:", Json::array({1})},
        OneWay{"x:", Json::array({"a", nullptr})},
        Call{1, "helloWithReply:", Json::array()},
        Greeting{"tavro-companion", 1},
    };
    for (const auto& message : others) EXPECT_FALSE(decodeStringOneWay(payloadOf(encodeFrame(message)), selector, arguments));
    std::string valid = payloadOf(encodeFrame(OneWay{"s:", Json::array({"a"})}));
    EXPECT_FALSE(decodeStringOneWay(valid + "x", selector, arguments)) << "trailing bytes";
    for (size_t cut = 0; cut < valid.size(); ++cut) EXPECT_FALSE(decodeStringOneWay(valid.substr(0, cut), selector, arguments));
}

TEST(FrameReader, SplitsAStreamFedOneByteAtATime) {
    std::string stream = encodeFrame(Call{1, "a:", Json::array()}) + encodeFrame(Call{2, "b:", Json::array()});
    FrameReader reader(maxRequestFrame);
    std::vector<std::string> payloads;
    std::string payload;
    for (char byte : stream) {
        reader.append(&byte, 1);
        while (reader.next(payload) == FrameReader::Status::frame) payloads.push_back(payload);
    }
    ASSERT_EQ(payloads.size(), 2u);
    EXPECT_EQ(payloads[1], payloadOf(encodeFrame(Call{2, "b:", Json::array()})));
}

TEST(FrameReader, RefusesADeclaredLengthOverTheLimitBeforeItArrives) {
    FrameReader reader(1024);
    const char header[] = {'\x7f', '\xff', '\xff', '\xff'};
    reader.append(header, 4);
    std::string payload;
    EXPECT_EQ(reader.next(payload), FrameReader::Status::tooLarge);
}

}  // namespace
}  // namespace companion::ipc
