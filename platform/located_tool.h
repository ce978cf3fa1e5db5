#pragma once
// A tool whose path is searched for once and then kept, an unsuccessful search included: later
// requests neither repeat the search nor notice a tool installed since.

#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace companion {

class LocatedTool {
public:
    // The path found by the first call's `search`; concurrent first callers wait for it.
    const std::optional<std::string>& get(const std::function<std::optional<std::string>()>& search) {
        std::call_once(once_, [&] { path_ = search(); });
        return path_;
    }

private:
    std::once_flag once_;
    std::optional<std::string> path_;
};

}  // namespace companion
