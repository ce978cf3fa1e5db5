#pragma once
// Unmounting a volume by its path: a disk or image volume under "/Volumes/", or one of the
// host's own mount points. Whether it worked is read from the mount table afterwards, not from
// the tool.

#include <string_view>

#include "core/session.h"

namespace companion::images {

// True when the agent may unmount `mountPoint` (standardised): one of the host's mount points,
// or a volume inside "/Volumes/".
bool mayUnmount(const Platform& platform, std::string_view mountPoint);

}  // namespace companion::images
