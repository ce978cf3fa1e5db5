#pragma once
// The property lists the host reads: what attaching prints and what "info -plist" prints, in the
// shape it knows (a dictionary of "system-entities", one per volume; a dictionary of "images").

#include <string>
#include <vector>

namespace companion::image_tool {

struct VolumeEntity {
    std::string mountPoint;
    std::string devEntry;  // the mount's source, as the mount table lists it
};

struct AttachedImage {
    std::string imagePath;
    std::vector<VolumeEntity> entities;
};

// The answer to "attach -plist": the volume that was mounted.
std::string attachPropertyList(const VolumeEntity& volume);
// The answer to "info -plist": every image attached through this tool.
std::string infoPropertyList(const std::vector<AttachedImage>& images);

}  // namespace companion::image_tool
