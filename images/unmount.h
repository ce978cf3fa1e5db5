#pragma once
// Unmounting a volume by its path: a disk or image volume under "/Volumes/", a removable disk
// the desktop mounted for this user, or one of the host's own mount points. Whether it worked is read from the mount table afterwards, not from
// the tool.

#include <string_view>

#include "core/session.h"

namespace companion::images {

// True when the agent may unmount `mountPoint` (standardised): one of the host's mount points,
// a volume inside "/Volumes/", or one directly inside this user's own removable-media folder.
bool mayUnmount(const Platform& platform, std::string_view mountPoint);

}  // namespace companion::images
