// The disk-image tool's own rules: which command lines it accepts, how archive members are named,
// how the password is read, and what a vault's description must hold.

#include <gtest/gtest.h>

#include "image_tool/archive.h"
#include "image_tool/invocation.h"
#include "image_tool/password.h"
#include "image_tool/vault_store.h"

namespace companion::image_tool {
namespace {

using Words = std::vector<std::string>;

const Words vaultCreate = {"create", "-type", "SPARSEBUNDLE", "-fs", "APFS", "-encryption", "AES-256",
                           "-size", "10g", "-volname", "My: Vault", "-stdinpass", "/v.sparsebundle"};

Words with(Words words, size_t at, const std::string& word) {
    words[at] = word;
    return words;
}

TEST(ImageToolInvocation, AcceptsExactlyTheFiveInvocations) {
    const std::pair<Words, Invocation> accepted[] = {
        {vaultCreate, CreateVault{10, "My: Vault", "/v.sparsebundle"}},
        {with(vaultCreate, 8, "16384g"), CreateVault{16384, "My: Vault", "/v.sparsebundle"}},
        {{"attach", "-plist", "-stdinpass", "/v"}, AttachVault{false, "/v"}},
        {{"attach", "-plist", "-stdinpass", "-nobrowse", "/v"}, AttachVault{true, "/v"}},
        {{"detach", "/m"}, DetachVault{false, "/m"}},
        {{"detach", "-force", "/m"}, DetachVault{true, "/m"}},
        {{"info", "-plist"}, ListAttached{}},
        {{"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass", "-volname", "A", "-srcfolder", "/a",
          "-srcfolder", "/b", "/A.dmg"},
         CreateArchive{"A", {"/a", "/b"}, "/A.dmg"}},
    };
    for (const auto& [words, expected] : accepted) EXPECT_EQ(parseInvocation(words), expected) << words[0];
}

TEST(ImageToolInvocation, RefusesEveryOtherCommandLine) {
    const Words refused[] = {
        with(vaultCreate, 2, "UDIF"),    with(vaultCreate, 4, "HFS+"),  with(vaultCreate, 6, "AES-128"),
        with(vaultCreate, 8, "0g"),      with(vaultCreate, 8, "16385g"), with(vaultCreate, 8, "10"),
        with(vaultCreate, 8, "1.5g"),    with(vaultCreate, 11, "-x"),   {"attach", "-plist", "-stdinpass"},
        {"attach", "-plist", "-stdinpass", "-readonly", "/v"},           {"attach", "/v"},
        {"detach"},                      {"detach", "-f", "/m"},         {"info"},
        {"info", "-plist", "-verbose"},  {"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass",
                                          "-volname", "A", "/a", "/A.dmg"},
        {"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass", "-volname", "A", "/A.dmg"},
        {"convert", "/a"},               {},
    };
    for (const Words& words : refused)
        EXPECT_TRUE(std::holds_alternative<Refusal>(parseInvocation(words))) << ::testing::PrintToString(words);
}

TEST(ImageToolArchive, ALaterItemOfTheSameNameIsStoredUnderItsWholePath) {
    EXPECT_EQ(archiveMembers({"/a/x", "/b/y", "/c/x", "/d/x"}), (Words{"/a/x", "/b/y", "c/x", "d/x"}));
}

TEST(ImageToolPassword, EndsAtTheFirstZeroByteAndRefusesLineBreaks) {
    EXPECT_EQ(passwordFrom(std::string("avant\0après\0", 13)), "avant");
    EXPECT_EQ(passwordFrom("sans fin"), "sans fin");
    EXPECT_EQ(passwordFrom(std::string("\0", 1)), "");
    EXPECT_TRUE(unusablePassword("deux\nlignes"));
    EXPECT_TRUE(unusablePassword("retour\r"));
    EXPECT_FALSE(unusablePassword(" é tab\there "));
}

TEST(ImageToolVault, DescriptionRoundTripsAndDamageIsNamed) {
    const VaultDescription description{"Mon coffre", 10};
    EXPECT_EQ(std::get<VaultDescription>(parseDescription(descriptionText(description))), description);
    const std::string damaged[] = {
        "",
        "{",
        "[]",
        R"({"format":"other","version":1,"volumeName":"V","maximumGB":1})",
        R"({"format":"tavro-vault","version":2,"volumeName":"V","maximumGB":1})",
        R"({"format":"tavro-vault","version":1,"volumeName":"a/b","maximumGB":1})",
        R"({"format":"tavro-vault","version":1,"volumeName":"V","maximumGB":"1"})",
    };
    for (const std::string& text : damaged)
        EXPECT_TRUE(std::holds_alternative<std::string>(parseDescription(text))) << text;
}

TEST(ImageToolVault, TheImageSurvivesTheMountTableSource) {
    for (const std::string image : {"/plain.sparsebundle", "/a,b%2C c.sparsebundle", "/%25,,%"})
        EXPECT_EQ(imageOfSource(sourceOfImage(image)), image);
    EXPECT_EQ(sourceOfImage("/a,b").find(','), std::string::npos);
}

}  // namespace
}  // namespace companion::image_tool
