// docs/protocol.md carries the message tables exactly as the protocol table renders them.

#include "client/protocol_doc.h"

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/files.h"

namespace companion::client {
namespace {

const std::filesystem::path document = std::filesystem::path(COMPANION_TEST_HELPERS) / "../../docs/protocol.md";

TEST(ProtocolDocument, ItsTablesAreTheProtocolTable) {
    const std::string text = testing::readFile(document);
    ASSERT_FALSE(text.empty()) << document;
    const std::string current = withProtocolTables(text);
    if (std::getenv("COMPANION_UPDATE_DOCS")) {
        testing::writeFile(document, current);
        return;
    }
    EXPECT_NE(text.find(generatedTablesBegin), std::string::npos);
    EXPECT_EQ(text, current) << "docs/protocol.md is out of date; regenerate it with\n"
                                "  COMPANION_UPDATE_DOCS=1 build/bin/client_tests --gtest_filter=ProtocolDocument.*";
}

}  // namespace
}  // namespace companion::client
