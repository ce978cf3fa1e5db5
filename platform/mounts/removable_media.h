#pragma once
// Where the desktop mounts the user's removable disks: one folder per user inside each of the
// system's media folders ("/media/<user>/" on Debian, "/run/media/<user>/" with udisks
// elsewhere).

#include <string>
#include <string_view>
#include <vector>

namespace companion::mounts {

// The name of the user this process runs as; empty when the system has no entry for it.
std::string currentUserName();

// True when `mountPoint` (standardised) lies directly inside `user`'s own folder of one of
// `mediaFolders`: exactly one component below it. The folders themselves, another user's
// folder and anything deeper are not.
bool isRemovableMediaMount(const std::vector<std::string>& mediaFolders, std::string_view user,
                           std::string_view mountPoint);

}  // namespace companion::mounts
