#include "platform/mounts/mount_command.h"

#include <algorithm>

namespace companion::mounts {
namespace {

const CarriedOption fuseCarriage[] = {
    {{"-o", "soft"}, {}, "a stalled FUSE call already fails once the daemon time-out below passes"},
    {{"-o", "intr"}, {}, "FUSE calls are always interruptible: the kernel passes a signal to rclone as an interrupt"},
    {{"-o", "deadtimeout=30"}, {"--daemon-timeout", "30s"}, "rclone must answer the kernel within 30 s"},
    {{"--inplace"}, {}, "the write cache already writes each file in place; rclone 1.60 does not know the flag"},
};

bool startsWith(std::span<const std::string_view> options, size_t at, const std::vector<std::string_view>& words) {
    if (options.size() - at < words.size()) return false;
    return std::equal(words.begin(), words.end(), options.begin() + static_cast<std::ptrdiff_t>(at));
}

const CarriedOption* rowAt(std::span<const std::string_view> options, size_t at) {
    for (const CarriedOption& row : fuseCarriage) {
        if (startsWith(options, at, row.described)) return &row;
    }
    return nullptr;
}

}  // namespace

std::span<const CarriedOption> carriedOptions() { return fuseCarriage; }

std::vector<std::string> platformMountOptions(std::span<const std::string_view> described) {
    std::vector<std::string> options;
    size_t at = 0;
    while (at < described.size()) {
        const CarriedOption* row = rowAt(described, at);
        if (!row) {
            options.emplace_back(described[at++]);
            continue;
        }
        options.insert(options.end(), row->carried.begin(), row->carried.end());
        at += row->described.size();
    }
    return options;
}

}  // namespace companion::mounts
