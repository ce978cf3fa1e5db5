#pragma once
// Vaults on gocryptfs: created as a ".sparsebundle" folder, attached through FUSE at a mount
// point named after the volume, detached by that mount point, listed from the mount table.

#include <string>

#include "image_tool/invocation.h"
#include "image_tool/outcome.h"

namespace companion::image_tool {

Outcome createVault(const CreateVault& request, const std::string& password, int endSignals);
Outcome attachVault(const AttachVault& request, const std::string& password, int endSignals);
Outcome detachVault(const DetachVault& request, int endSignals);
Outcome listAttachedVaults();

// Where vaults are mounted: a folder the desktop's file manager lists among its places (the
// user's removable-volumes folder when this user may create folders in it, else "Volumes" in the
// home folder), or, for hidden vaults, one it never lists (the user's runtime folder, else a
// dot folder of the home folder).
std::string visibleMountRoot();
std::string hiddenMountRoot();

}  // namespace companion::image_tool
