#pragma once
// The user's preference domains: one property list per domain, "<domain>.plist" in
// "~/Library/Preferences", binary or XML as found (binary when new).
//
// Values set are held as pending changes until the domain is synchronised: then they are applied
// to the file as it is on disk at that moment, written atomically, and the domain is read again,
// so keys this store never touched stay exactly as they were and values written by other
// processes are seen.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace companion::preferences {

// A stored value: a boolean, an integer, a real, a text, or something else (a date, data, a list,
// a dictionary), whose contents the agent never needs.
struct OtherValue {
    bool operator==(const OtherValue&) const = default;
};
using PreferenceValue = std::variant<bool, int64_t, double, std::string, OtherValue>;

class PreferenceStore {
public:
    // `homeDirectory` is asked on every file access.
    explicit PreferenceStore(std::function<std::string()> homeDirectory);
    ~PreferenceStore();
    PreferenceStore(const PreferenceStore&) = delete;
    PreferenceStore& operator=(const PreferenceStore&) = delete;

    // The value as last read, or as set since; absent when the key is missing.
    std::optional<PreferenceValue> value(const std::string& domain, const std::string& key);
    // A pending change: the boolean, or the key's removal when absent.
    void setValue(const std::string& domain, const std::string& key, std::optional<bool> value);
    // Writes the pending changes (if any) and reads the domain again. False when the file could
    // not be read for the update or could not be written; the pending changes then stay.
    bool synchronize(const std::string& domain);

    // Where the domain's file is.
    std::string domainPath(const std::string& domain) const;

private:
    struct Domain;
    Domain& domainLocked(const std::string& domain);

    std::function<std::string()> homeDirectory_;
    std::mutex mutex_;  // guards domains_
    std::map<std::string, std::unique_ptr<Domain>> domains_;
};

}  // namespace companion::preferences
