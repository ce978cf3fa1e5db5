// docs/protocol.md carries the message tables exactly as the protocol table renders them.

#include "client/protocol_doc.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

namespace companion::client {
namespace {

const std::filesystem::path document = std::filesystem::path(COMPANION_TEST_HELPERS) / "../../docs/protocol.md";

TEST(ProtocolDocument, ItsTablesAreTheProtocolTable) {
    std::ifstream in(document);
    ASSERT_TRUE(in) << document;
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    const std::string current = withProtocolTables(text);
    if (std::getenv("COMPANION_UPDATE_DOCS")) {
        std::ofstream(document) << current;
        return;
    }
    EXPECT_NE(text.find(generatedTablesBegin), std::string::npos);
    EXPECT_EQ(text, current) << "docs/protocol.md is out of date; regenerate it with\n"
                                "  COMPANION_UPDATE_DOCS=1 build/bin/client_tests --gtest_filter=ProtocolDocument.*";
}

}  // namespace
}  // namespace companion::client
