#include "image_tool/invocation.h"

#include <charconv>
#include <optional>
#include <span>
#include <string_view>

namespace companion::image_tool {

namespace {

using Words = std::span<const std::string>;

constexpr std::string_view usage =
    "usage: create -type SPARSEBUNDLE -fs APFS -encryption AES-256 -size <N>g -volname <name> -stdinpass <image>\n"
    "       attach -plist -stdinpass [-nobrowse] <image>\n"
    "       detach [-force] <mount point>\n"
    "       info -plist\n"
    "       create -format UDZO -encryption AES-256 -stdinpass -volname <name> -srcfolder <item>... <image>";

constexpr std::string_view vaultCreatePrefix[] = {"create", "-type", "SPARSEBUNDLE", "-fs", "APFS",
                                                  "-encryption", "AES-256", "-size"};
constexpr std::string_view archiveCreatePrefix[] = {"create", "-format", "UDZO", "-encryption", "AES-256",
                                                    "-stdinpass", "-volname"};
constexpr std::string_view attachPrefix[] = {"attach", "-plist", "-stdinpass"};
constexpr std::string_view infoWords[] = {"info", "-plist"};
constexpr std::string_view volumeNameOption = "-volname";
constexpr std::string_view passwordOption = "-stdinpass";
constexpr std::string_view hiddenOption = "-nobrowse";
constexpr std::string_view detachCommand = "detach";
constexpr std::string_view createCommand = "create";
constexpr std::string_view forceOption = "-force";
constexpr std::string_view sourceOption = "-srcfolder";
constexpr char gigabyteSuffix = 'g';
constexpr int64_t smallestVaultGB = 1;
constexpr int64_t largestVaultGB = 16384;

Refusal refused(std::string_view why) { return {std::string(why) + "\n" + std::string(usage)}; }

template <size_t N>
bool startsWith(Words words, const std::string_view (&prefix)[N]) {
    if (words.size() < N) return false;
    for (size_t i = 0; i < N; ++i)
        if (words[i] != prefix[i]) return false;
    return true;
}

// "<N>g", N a decimal whole number of gigabytes within the vault's limits.
std::optional<int64_t> sizeInGB(std::string_view text) {
    if (text.size() < 2 || text.back() != gigabyteSuffix) return std::nullopt;
    int64_t value = 0;
    const char* end = text.data() + text.size() - 1;
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) return std::nullopt;
    if (value < smallestVaultGB || value > largestVaultGB) return std::nullopt;
    return value;
}

Invocation parseVaultCreate(Words words) {
    // Prefix, size, -volname, name, -stdinpass, image.
    constexpr size_t expected = std::size(vaultCreatePrefix) + 5;
    if (words.size() != expected) return refused("create: wrong number of arguments");
    Words rest = words.subspan(std::size(vaultCreatePrefix));
    auto size = sizeInGB(rest[0]);
    if (!size) return refused("create: the size must be a whole number of gigabytes from 1 to 16384, like 10g");
    if (rest[1] != volumeNameOption || rest[3] != passwordOption)
        return refused("create: only -volname <name> -stdinpass <image> may follow the size");
    return CreateVault{*size, rest[2], rest[4]};
}

Invocation parseArchiveCreate(Words words) {
    Words rest = words.subspan(std::size(archiveCreatePrefix));
    if (rest.size() < 4) return refused("create: a volume name, at least one -srcfolder item and an image are needed");
    CreateArchive archive{rest[0], {}, rest.back()};
    Words sources = rest.subspan(1, rest.size() - 2);
    if (sources.size() % 2 != 0) return refused("create: each item must follow its own -srcfolder");
    for (size_t i = 0; i < sources.size(); i += 2) {
        if (sources[i] != sourceOption) return refused("create: each item must follow its own -srcfolder");
        archive.items.push_back(sources[i + 1]);
    }
    return archive;
}

Invocation parseAttach(Words words) {
    Words rest = words.subspan(std::size(attachPrefix));
    if (rest.size() == 1) return AttachVault{false, rest[0]};
    if (rest.size() == 2 && rest[0] == hiddenOption) return AttachVault{true, rest[1]};
    return refused("attach: only -nobrowse may come before the image");
}

Invocation parseDetach(Words words) {
    Words rest = words.subspan(1);
    if (rest.size() == 1) return DetachVault{false, rest[0]};
    if (rest.size() == 2 && rest[0] == forceOption) return DetachVault{true, rest[1]};
    return refused("detach: only -force may come before the mount point");
}

}  // namespace

Invocation parseInvocation(const std::vector<std::string>& arguments) {
    Words words(arguments);
    if (startsWith(words, vaultCreatePrefix)) return parseVaultCreate(words);
    if (startsWith(words, archiveCreatePrefix)) return parseArchiveCreate(words);
    if (startsWith(words, attachPrefix)) return parseAttach(words);
    if (!words.empty() && words[0] == detachCommand) return parseDetach(words);
    if (startsWith(words, infoWords) && words.size() == std::size(infoWords)) return ListAttached{};
    if (!words.empty() && words[0] == createCommand)
        return refused("create: only encrypted sparse bundles (-type SPARSEBUNDLE -fs APFS -encryption AES-256) and "
                       "compressed encrypted images (-format UDZO -encryption AES-256) can be made");
    return refused("this invocation is not one this tool performs");
}

}  // namespace companion::image_tool
