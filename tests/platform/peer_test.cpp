// The texts admission reads: a sandbox's .flatpak-info and an AppArmor label. (Real sandboxes
// are the end-to-end test's; no AppArmor runs here, so its labels are tried as text.)

#include "platform/ipc/peer.h"

#include <gtest/gtest.h>

namespace companion::ipc {
namespace {

TEST(Peer, FlatpakInfoNamesItsApplicationInItsOwnGroupOnly) {
    const std::pair<const char*, const char*> cases[] = {
        {"[Application]\nname=es.vextralune.tavro\nruntime=x\n", "es.vextralune.tavro"},
        {"[Instance]\nname=other\n[Application]\r\n name = es.vextralune.tavro \r\n", "es.vextralune.tavro"},
        {"[Runtime]\nname=es.vextralune.tavro\n", ""},
        {"name=es.vextralune.tavro\n", ""},
        {"[Application\nname=es.vextralune.tavro\n", ""},
        {"", ""},
    };
    for (const auto& [info, expected] : cases) EXPECT_EQ(flatpakApplication(info), expected) << info;
}

TEST(Peer, AppArmorLabelsTellConfinementAndTheSnap) {
    const struct {
        const char* label;
        AppArmor expected;
        const char* snap;
    } cases[] = {
        {"", AppArmor::notAppArmor, ""},
        {"unconfined_u:unconfined_r:unconfined_t:s0", AppArmor::notAppArmor, ""},
        {"unconfined", AppArmor::unconfined, ""},
        {"firefox (unconfined)", AppArmor::unconfined, ""},
        {"snap.es-vextralune-tavro.tavro (enforce)", AppArmor::confined, "es-vextralune-tavro"},
        {"snap.other.app (complain)", AppArmor::confined, "other"},
        {"/usr/bin/evince (enforce)", AppArmor::confined, ""},
    };
    for (const auto& c : cases) {
        std::string snap = "stale";
        EXPECT_EQ(appArmorConfinement(c.label, snap), c.expected) << c.label;
        EXPECT_EQ(snap, c.snap) << c.label;
    }
}

}  // namespace
}  // namespace companion::ipc
