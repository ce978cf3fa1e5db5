#include "images/unmount.h"

#include <tuple>

#include "core/input_checks.h"
#include "core/tool_run.h"
#include "images/images_services.h"
#include "platform/mounts/removable_media.h"

namespace companion::images {

using namespace service;

namespace {

// Disk and image volumes are mounted inside this folder; the folder itself is never one.
constexpr std::string_view volumesFolder = "/Volumes/";

void unmountWithPath(CompanionSession& session, Args<msg::unmountWithPath> args, Reply<msg::unmountWithPath> reply) {
    const auto& [path, force] = args;
    const Platform& platform = session.platform();
    const auto mountPoint = sanitizedPath(path, true);
    if (!mountPoint) return reply.refuse();
    const MountTable table = platform.mountTable();
    if (table.empty() || !table.contains(*mountPoint)) return reply.refuse();
    if (!mayUnmount(platform, *mountPoint)) return reply.refuse();

    session.submit(std::move(reply), [mountPoint = *mountPoint, force = force, self = session.shared_from_this()] {
        const Platform& platform = self->platform();
        // The tool's own answer is not trusted either way: only the table says whether it is gone.
        runTool(platform, unmountRun(platform, mountPoint, force));
        const MountTable after = platform.mountTable();
        return std::tuple{after.empty() || !after.contains(mountPoint)};
    });
}

}  // namespace

bool mayUnmount(const Platform& platform, std::string_view mountPoint) {
    return isAllowedMountPoint(platform, mountPoint) || mountPoint.starts_with(volumesFolder) ||
           mounts::isRemovableMediaMount(platform.tools.removableMediaFolders, mounts::currentUserName(), mountPoint);
}

void installUnmountServices(Services& services) {
    services.handlers.unmountWithPath = &unmountWithPath;
}

}  // namespace companion::images
