#pragma once
// A session harness whose tool table points at stand-ins in a temporary folder.
//
//   ToolHarness h(images::installImagesServices);
//   auto hdiutil = h.standIn("hdiutil", &ToolPaths::hdiutil);
//   auto [status, message] = h.call<msg::attachedImagesWithReply>({});

#include <string>

#include "support/session_fixture.h"
#include "support/tool_stand_in.h"

namespace companion::testing {

struct ToolHarness : SessionHarness {
    explicit ToolHarness(void (*install)(Services&)) { install(services); }

    // A stand-in named `name`, and the tool table's entry `entry` pointing at it.
    ToolStandIn standIn(const std::string& name, std::string ToolPaths::*entry) {
        ToolStandIn tool(tools.path() / name);
        platform.tools.*entry = tool.str();
        return tool;
    }
    // Every stand-in's runs so far, in order.
    Runs runs() const { return ToolStandIn::runs(tools.path() / "record"); }

    TempDir tools;
    TempDir files;
};

}  // namespace companion::testing
