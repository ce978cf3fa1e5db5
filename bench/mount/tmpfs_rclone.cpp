// Stands in for rclone in the mount benchmark: "mount REMOTE MOUNTPOINT ..." mounts a tmpfs on
// MOUNTPOINT at once and keeps it until SIGTERM, then unmounts it and ends. Any other run ends at
// once, so that nothing but the mount itself is measured.

#include <signal.h>
#include <sys/mount.h>

#include <cstring>

int main(int argc, char** argv) {
    if (argc < 4 || std::strcmp(argv[1], "mount") != 0) return 0;
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(SIG_BLOCK, &terminate, nullptr);
    const char* mountPoint = argv[3];
    if (mount("tmpfs", mountPoint, "tmpfs", 0, nullptr) != 0) return 1;
    int received = 0;
    sigwait(&terminate, &received);
    umount2(mountPoint, MNT_DETACH);
    return 0;
}
