#pragma once
// What one invocation of the tool gives back: its exit status, its standard output and its
// standard error, as the agent passes them on to the host.

#include <string>

namespace companion::image_tool {

inline constexpr int succeeded = 0;
inline constexpr int failed = 1;

struct Outcome {
    int status = succeeded;
    std::string output;
    std::string errorText;
};

inline Outcome failure(std::string text) { return {failed, "", std::move(text) + "\n"}; }

}  // namespace companion::image_tool
