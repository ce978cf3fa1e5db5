#include "finder/preferences.h"

#include <tuple>
#include <variant>

namespace companion::finder {

using namespace service;

namespace {

constexpr const char* desktopServicesDomain = "com.apple.desktopservices";
constexpr const char* noNetworkStoresKey = "DSDontWriteNetworkStores";
constexpr const char* noUSBStoresKey = "DSDontWriteUSBStores";
constexpr const char* finderDomain = "com.apple.finder";
constexpr const char* removeOldTrashKey = "FXRemoveOldTrashItems";

// These four answer on the arriving queue: a preference read or write is quick.

void desktopServicesWithReply(CompanionSession& session, Args<msg::desktopServicesWithReply>,
                              Reply<msg::desktopServicesWithReply> reply) {
    auto& store = *session.platform().preferences;
    // Synchronising first picks up what other processes wrote.
    (void)store.synchronize(desktopServicesDomain);
    const bool noNetwork = preferenceFlag(store.value(desktopServicesDomain, noNetworkStoresKey));
    const bool noUSB = preferenceFlag(store.value(desktopServicesDomain, noUSBStoresKey));
    reply(noNetwork, noUSB);
}

// On: an explicit true; off: no key at all.
std::optional<bool> trueOrRemoved(bool on) { return on ? std::optional<bool>(true) : std::nullopt; }

void setDesktopServicesWithNoNetworkStores(CompanionSession& session,
                                           Args<msg::setDesktopServicesWithNoNetworkStores> args,
                                           Reply<msg::setDesktopServicesWithNoNetworkStores> reply) {
    const auto [noNetwork, noUSB] = args;
    auto& store = *session.platform().preferences;
    store.setValue(desktopServicesDomain, noNetworkStoresKey, trueOrRemoved(noNetwork));
    store.setValue(desktopServicesDomain, noUSBStoresKey, trueOrRemoved(noUSB));
    reply(store.synchronize(desktopServicesDomain));
}

void finderRemovesOldTrashWithReply(CompanionSession& session, Args<msg::finderRemovesOldTrashWithReply>,
                                    Reply<msg::finderRemovesOldTrashWithReply> reply) {
    auto& store = *session.platform().preferences;
    (void)store.synchronize(finderDomain);
    reply(preferenceFlag(store.value(finderDomain, removeOldTrashKey)));
}

void setFinderRemovesOldTrash(CompanionSession& session, Args<msg::setFinderRemovesOldTrash> args,
                              Reply<msg::setFinderRemovesOldTrash> reply) {
    const auto [on] = args;
    auto& store = *session.platform().preferences;
    // Always an explicit value: Finder's own default for a missing key is not ours to assume.
    store.setValue(finderDomain, removeOldTrashKey, on);
    reply(store.synchronize(finderDomain));
}

}  // namespace

bool preferenceFlag(const std::optional<preferences::PreferenceValue>& value) {
    if (!value) return false;
    if (const bool* flag = std::get_if<bool>(&*value)) return *flag;
    if (const int64_t* integer = std::get_if<int64_t>(&*value)) return *integer == 1;
    if (const double* real = std::get_if<double>(&*value)) return *real == 1.0;
    return false;
}

void installPreferenceServices(Services& services) {
    auto& handlers = services.handlers;
    handlers.desktopServicesWithReply = &desktopServicesWithReply;
    handlers.setDesktopServicesWithNoNetworkStores = &setDesktopServicesWithNoNetworkStores;
    handlers.finderRemovesOldTrashWithReply = &finderRemovesOldTrashWithReply;
    handlers.setFinderRemovesOldTrash = &setFinderRemovesOldTrash;
}

}  // namespace companion::finder
