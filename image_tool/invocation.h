#pragma once
// The five ways the agent runs the disk-image tool, and nothing else: any other command line is
// refused before anything is touched, so a typo can never reach gocryptfs or 7-Zip.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace companion::image_tool {

struct CreateVault {
    int64_t maximumGB = 0;
    std::string volumeName;
    std::string image;
    bool operator==(const CreateVault&) const = default;
};

struct AttachVault {
    bool hidden = false;
    std::string image;
    bool operator==(const AttachVault&) const = default;
};

struct DetachVault {
    bool force = false;
    std::string mountPoint;
    bool operator==(const DetachVault&) const = default;
};

struct ListAttached {
    bool operator==(const ListAttached&) const = default;
};

struct CreateArchive {
    std::string volumeName;
    std::vector<std::string> items;
    std::string destination;
    bool operator==(const CreateArchive&) const = default;
};

// Why a command line was refused, as the text the user reads.
struct Refusal {
    std::string reason;
    bool operator==(const Refusal&) const = default;
};

using Invocation = std::variant<CreateVault, AttachVault, DetachVault, ListAttached, CreateArchive, Refusal>;

// The invocation that `arguments` (without the program name) spell, or why they spell none.
Invocation parseInvocation(const std::vector<std::string>& arguments);

}  // namespace companion::image_tool
