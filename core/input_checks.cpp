#include "core/input_checks.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <system_error>

#include "service/identity.h"

namespace companion {

namespace {

constexpr char separator = '/';
// The first character that is not a control character.
constexpr unsigned char firstPrintable = 0x20;

// The host application's own mount folder, relative to a home folder or a container's data.
constexpr std::string_view mountFolder = "/Library/Application Support/Tavro/Montages";
// The sandbox data container of an application, relative to the home folder.
constexpr std::string_view containersFolder = "/Library/Containers/";
constexpr std::string_view containerData = "/Data";

constexpr CharacterClass identifierFirst = alphanumericsAnd("_.@");
constexpr CharacterClass identifierRest = alphanumericsAnd("_.@-");
constexpr CharacterClass hostFirst = alphanumericsAnd("_[");
constexpr CharacterClass hostRest = alphanumericsAnd("_.:[]-");

bool isAbsoluteAndClean(std::string_view path) {
    return !path.empty() && path.front() == separator && !hasControlCharacters(path);
}

bool existsFollowingLinks(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

bool isDirectoryFollowingLinks(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::is_directory(path, ignored);
}

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(separator, start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

bool hasControlCharacters(std::string_view text) {
    // In UTF-8 every byte of a multi-byte sequence is at least 0x80, so a byte below 0x20 is
    // always a control character of its own.
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < firstPrintable; });
}

std::string standardizePath(std::string_view path) {
    const bool absolute = !path.empty() && path.front() == separator;
    std::vector<std::string_view> kept;
    for (std::string_view part : components(path)) {
        if (part == ".") continue;
        if (part != "..") {
            kept.push_back(part);
        } else if (!kept.empty() && kept.back() != "..") {
            kept.pop_back();
        } else if (!absolute) {
            // A relative path may begin above its starting point; an absolute one stops at "/".
            kept.push_back(part);
        }
    }
    if (kept.empty()) return absolute ? std::string(1, separator) : std::string(".");
    std::string result;
    for (size_t i = 0; i < kept.size(); ++i) {
        if (absolute || i > 0) result += separator;
        result += kept[i];
    }
    return result;
}

std::optional<std::string> sanitizedPath(std::string_view path, bool mustExist) {
    if (!isAbsoluteAndClean(path)) return std::nullopt;
    std::string standardized = standardizePath(path);
    if (mustExist && !existsFollowingLinks(standardized)) return std::nullopt;
    return standardized;
}

std::optional<std::string> sanitizedDirectory(std::string_view path) {
    auto standardized = sanitizedPath(path, false);
    if (!standardized || !isDirectoryFollowingLinks(*standardized)) return std::nullopt;
    return standardized;
}

std::vector<std::string> allowedMountRoots(std::string_view home) {
    std::vector<std::string> roots;
    roots.push_back(standardizePath(std::string(home) + std::string(mountFolder)));
    for (const HostIdentity& host : hostIdentities) {
        std::string container = std::string(home) + std::string(containersFolder) + std::string(host.bundleIdentifier);
        roots.push_back(standardizePath(container + std::string(containerData) + std::string(mountFolder)));
    }
    return roots;
}

std::vector<std::string> allowedMountRoots(const Platform& platform) {
    return allowedMountRoots(platform.homeDirectory());
}

bool isAllowedMountPoint(std::string_view path, std::string_view home) {
    if (!isAbsoluteAndClean(path)) return false;
    const std::string standardized = standardizePath(path);
    for (const std::string& root : allowedMountRoots(home)) {
        const std::string prefix = root + separator;
        if (!standardized.starts_with(prefix)) continue;
        std::string_view rest = std::string_view(standardized).substr(prefix.size());
        if (!rest.empty() && rest.find(separator) == std::string_view::npos) return true;
    }
    return false;
}

bool isAllowedMountPoint(const Platform& platform, std::string_view path) {
    return isAllowedMountPoint(path, platform.homeDirectory());
}

bool matchesNameRule(std::string_view text, const CharacterClass& first, const CharacterClass& rest) {
    if (text.empty() || !first.contains(text.front())) return false;
    return std::all_of(text.begin() + 1, text.end(), [&](char c) { return rest.contains(c); });
}

bool isIdentifier(std::string_view text) {
    return matchesNameRule(text, identifierFirst, identifierRest);
}

bool isHostName(std::string_view text) {
    return matchesNameRule(text, hostFirst, hostRest);
}

std::string_view trimmed(std::string_view text, std::string_view characters) {
    const size_t first = text.find_first_not_of(characters);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(characters) - first + 1);
}

}  // namespace companion
