#include "platform/mounts/removable_media.h"

#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace companion::mounts {
namespace {

constexpr char separator = '/';
// getpwuid_r's buffer when the system does not say how large it should be.
constexpr long fallbackEntrySize = 16384;

}  // namespace

std::string currentUserName() {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(static_cast<size_t>(suggested > 0 ? suggested : fallbackEntrySize));
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return "";
    return found->pw_name;
}

bool isRemovableMediaMount(const std::vector<std::string>& mediaFolders, std::string_view user,
                           std::string_view mountPoint) {
    if (user.empty() || user.find(separator) != std::string_view::npos) return false;
    for (const std::string& folder : mediaFolders) {
        std::string prefix = folder;
        prefix += separator;
        prefix += user;
        prefix += separator;
        if (!mountPoint.starts_with(prefix)) continue;
        const std::string_view rest = mountPoint.substr(prefix.size());
        if (!rest.empty() && rest.find(separator) == std::string_view::npos) return true;
    }
    return false;
}

}  // namespace companion::mounts
