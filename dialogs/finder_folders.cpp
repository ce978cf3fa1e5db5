#include "dialogs/finder_folders.h"

#include <algorithm>
#include <cctype>

#include "core/command_runner.h"
#include "core/input_checks.h"
#include "dialogs/dialogs_services.h"

namespace companion::dialogs {

using namespace service;

namespace {

constexpr std::string_view fileScheme = "file";
constexpr std::string_view authorityStart = "//";
constexpr char schemeEnd = ':';
constexpr char escapeStart = '%';
constexpr std::string_view pathEnds = "?#";

bool isSchemeCharacter(char c, bool first) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (first) return letter;
    return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == y; });
}

std::optional<std::string_view> schemeOf(std::string_view url) {
    const size_t end = url.find(schemeEnd);
    if (end == 0 || end == std::string_view::npos) return std::nullopt;
    for (size_t i = 0; i < end; ++i) {
        if (!isSchemeCharacter(url[i], i == 0)) return std::nullopt;
    }
    return url.substr(0, end);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// None when an escape is malformed, a character cannot stand in a URL, or the decoded bytes are
// not UTF-8 text without a zero.
std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c <= ' ' || c == 0x7F) return std::nullopt;
        if (c != escapeStart) {
            decoded.push_back(static_cast<char>(c));
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        decoded.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (decoded.find('\0') != std::string::npos || decodeUtf8Lossy(decoded) != decoded) return std::nullopt;
    return decoded;
}

// One document a window, read from the first windows only; "" for a window without a readable one.
std::vector<std::string> windowDocuments(Accessibility& ax, const Element& application) {
    auto windows = readElements(ax, application, windowsAttribute);
    windows.resize(std::min(windows.size(), maxFinderWindows));
    std::vector<std::string> documents;
    for (const Element& window : windows)
        documents.push_back(readAttribute<std::string>(ax, window, documentAttribute).value_or(""));
    return documents;
}

void finderFoldersWithReply(CompanionSession& session, Args<msg::finderFoldersWithReply>,
                            Reply<msg::finderFoldersWithReply> reply) {
    session.submit(WorkQueue::axQueue, std::move(reply), [self = session.shared_from_this()] {
        const Platform& platform = self->platform();
        return std::tuple{finderFolders(*platform.accessibility, *platform.workspace)};
    });
}

}  // namespace

std::optional<std::string> filePathOfUrl(std::string_view url) {
    auto scheme = schemeOf(url);
    if (!scheme || !equalsIgnoringCase(*scheme, fileScheme)) return std::nullopt;
    std::string_view rest = url.substr(scheme->size() + 1);
    rest = rest.substr(0, rest.find_first_of(pathEnds));
    if (rest.starts_with(authorityStart)) {
        // The host of a file URL names the machine; the path is what follows it.
        const size_t pathStart = rest.find('/', authorityStart.size());
        rest = pathStart == std::string_view::npos ? std::string_view{} : rest.substr(pathStart);
    }
    if (!rest.starts_with('/')) return std::nullopt;
    auto path = percentDecoded(rest);
    if (!path) return std::nullopt;
    return standardizePath(*path);
}

std::vector<std::string> finderFolders(Accessibility& ax, const workspace::Workspace& workspace) {
    if (!ax.isProcessTrusted(false)) return {};
    const auto finders = workspace.runningApplications(finderBundleIdentifier);
    if (finders.empty()) return {};
    const Element application = applicationElement(ax, finders.front().pid);
    auto documents = ax.publishedWindowDocuments(application);
    if (!documents) documents = windowDocuments(ax, application);
    documents->resize(std::min(documents->size(), maxFinderWindows));
    std::vector<std::string> folders;
    for (const std::string& document : *documents) {
        auto path = filePathOfUrl(document);
        if (path && std::find(folders.begin(), folders.end(), *path) == folders.end()) folders.push_back(*path);
    }
    return folders;
}

void installFinderFolderServices(Services& services) { services.handlers.finderFoldersWithReply = &finderFoldersWithReply; }

}  // namespace companion::dialogs
