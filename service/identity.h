#pragma once
// The names under which the agent is known.

#include <array>
#include <string_view>

namespace companion {

// The named service the agent listens on and the host connects to.
inline constexpr std::string_view machServiceName = "QX47MV8KT3.es.vextralune.tavro.companion";

// The host application and its test build.
inline constexpr std::string_view hostBundleIdentifier = "es.vextralune.tavro";
inline constexpr std::string_view hostTestBundleIdentifier = "es.vextralune.tavro.sandboxtest";

// The host's builds, and what the sandboxes of Linux call them (so the only sandboxed peers
// admitted): Flatpak names an application by its bundle identifier; Snap names allow no dots,
// so the host's snaps carry the same identifiers with hyphens, and AppArmor labels name them
// ("snap.<name>.<app>").
struct HostIdentity {
    std::string_view bundleIdentifier;  // also its Flatpak application identifier
    std::string_view snapName;
};
inline constexpr std::array<HostIdentity, 2> hostIdentities{{
    {hostBundleIdentifier, "es-vextralune-tavro"},
    {hostTestBundleIdentifier, "es-vextralune-tavro-sandboxtest"},
}};

}  // namespace companion
