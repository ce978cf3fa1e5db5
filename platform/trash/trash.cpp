#include "platform/trash/trash.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "platform/unique_fd.h"

namespace companion::trash {

namespace {

namespace fs = std::filesystem;

constexpr const char* dataHomeVariable = "XDG_DATA_HOME";
constexpr const char* defaultDataHome = "/.local/share";
constexpr const char* trashFolderName = "/Trash";
constexpr const char* filesFolder = "files";
constexpr const char* infoFolder = "info";
constexpr const char* infoExtension = ".trashinfo";
constexpr const char* infoHeader = "[Trash Info]\nPath=";
constexpr const char* deletionDateKey = "\nDeletionDate=";
constexpr const char* deletionDateFormat = "%Y-%m-%dT%H:%M:%S";
constexpr size_t deletionDateCapacity = 32;
// The freedesktop layout asks for the user-only folders it creates.
constexpr fs::perms trashFolderPermissions = fs::perms::owner_all;
// Beyond this many names taken, something is wrong with the folder rather than crowded.
constexpr int maximumNameAttempts = 10000;
constexpr const char* unreservedCharacters = "-_.~/";

// The "Path=" value: the original path with every byte outside the unreserved set %-encoded.
std::string percentEncoded(const std::string& path) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr(unreservedCharacters, c)) {
            text += static_cast<char>(c);
            continue;
        }
        text += '%';
        text += hex[c >> 4];
        text += hex[c & 0xF];
    }
    return text;
}

std::string localDeletionDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char text[deletionDateCapacity];
    const size_t length = std::strftime(text, sizeof text, deletionDateFormat, &local);
    return std::string(text, length);
}

// Renames without ever replacing what is at `to`.
int renameWithoutReplacing(const std::string& from, const std::string& to) {
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE));
}

std::string describeErrno(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string trashName(const std::string& path, int attempt) {
    const fs::path original(path);
    if (attempt <= 1) return original.filename().string();
    return original.stem().string() + " " + std::to_string(attempt) + original.extension().string();
}

std::string userTrashDirectory(const std::string& home, const Environment& environment) {
    const auto dataHome = environment.find(dataHomeVariable);
    if (dataHome != environment.end() && dataHome->second.starts_with('/')) return dataHome->second + trashFolderName;
    return home + defaultDataHome + trashFolderName;
}

std::string userTrashDirectory(const Platform& platform) {
    return userTrashDirectory(platform.homeDirectory(), platform.environment());
}

std::variant<std::string, std::string> moveToTrash(const std::string& path, const std::string& trashDirectory) {
    using Result = std::variant<std::string, std::string>;
    std::error_code error;
    const fs::path files = fs::path(trashDirectory) / filesFolder;
    const fs::path info = fs::path(trashDirectory) / infoFolder;
    for (const auto& folder : {fs::path(trashDirectory), files, info}) {
        if (fs::create_directories(folder, error)) fs::permissions(folder, trashFolderPermissions, error);
        if (!fs::is_directory(folder)) return Result(std::in_place_index<1>, "no Trash folder at " + folder.string());
    }
    if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) return Result(std::in_place_index<1>, describeErrno(path));

    const std::string record = std::string(infoHeader) + percentEncoded(path) + deletionDateKey + localDeletionDate() + "\n";
    for (int attempt = 1; attempt <= maximumNameAttempts; ++attempt) {
        const std::string name = trashName(path, attempt);
        const std::string infoPath = (info / (name + infoExtension)).string();
        // The info file claims the name: whoever creates it first owns that name in "files/".
        UniqueFd claim(::open(infoPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!claim.valid()) {
            if (errno == EEXIST) continue;
            return Result(std::in_place_index<1>, describeErrno(infoPath));
        }
        const std::string destination = (files / name).string();
        if (renameWithoutReplacing(path, destination) == 0) {
            // A short record loses nothing: the item itself is safe in the Trash.
            (void)writeAll(claim.get(), record);
            return Result(std::in_place_index<0>, destination);
        }
        const int renameError = errno;
        claim = UniqueFd();
        ::unlink(infoPath.c_str());
        if (renameError == EEXIST) continue;
        errno = renameError;
        return Result(std::in_place_index<1>, describeErrno(path));
    }
    return Result(std::in_place_index<1>, "no free name in the Trash for " + path);
}

}  // namespace companion::trash
