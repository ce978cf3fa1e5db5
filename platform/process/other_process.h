#pragma once
// A process this agent did not start, found by its process id.
//
// It is held through a pidfd from the moment it is found: whatever is read about it afterwards
// and the signal sent to it concern that one process, even if it ends and its pid is given to
// a newcomer meanwhile.

#include <optional>
#include <string>
#include <vector>

#include "platform/unique_fd.h"

namespace companion::process {

class OtherProcess {
public:
    // None when no process has this pid now.
    static std::optional<OtherProcess> open(int pid);

    // Its argument vector as it reads now; none once it has ended. Read after the pidfd was
    // opened, so an answer that belongs to a newcomer under the same pid can only come with a
    // process that has already ended, which `signal` then no longer reaches.
    std::optional<std::vector<std::string>> arguments() const;

    // True when the signal was delivered to this very process.
    bool signal(int signalNumber) const;

private:
    OtherProcess(int pid, UniqueFd pidFd) : pid_(pid), pidFd_(std::move(pidFd)) {}
    int pid_;
    UniqueFd pidFd_;
};

}  // namespace companion::process
