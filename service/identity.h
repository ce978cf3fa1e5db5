#pragma once
// The names under which the agent is known.

#include <string_view>

namespace companion {

// The named service the agent listens on and the host connects to.
inline constexpr std::string_view machServiceName = "QX47MV8KT3.es.vextralune.tavro.companion";

// The host application and its test build.
inline constexpr std::string_view hostBundleIdentifier = "es.vextralune.tavro";
inline constexpr std::string_view hostTestBundleIdentifier = "es.vextralune.tavro.sandboxtest";

}  // namespace companion
