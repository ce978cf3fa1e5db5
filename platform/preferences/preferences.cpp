#include "platform/preferences/preferences.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <plist/plist.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "platform/unique_fd.h"

namespace companion::preferences {

// Outside the unnamed namespace: a member of `PreferenceStore::Domain` holds one.
struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Plist = std::unique_ptr<void, PlistFree>;

namespace {

namespace fs = std::filesystem;

constexpr const char* preferencesFolder = "/Library/Preferences/";
constexpr const char* domainExtension = ".plist";
constexpr const char* temporarySuffix = ".XXXXXX";

enum class Format { binary, xml };

// A domain's file as read: its top-level dictionary and the format to write it back in.
struct FileContents {
    Plist dictionary;
    Format format = Format::binary;
};

// Absent when the file exists but is not a property list with a dictionary at its top (it is
// then left alone rather than replaced). A missing file is an empty dictionary.
std::optional<FileContents> readDomainFile(const std::string& path) {
    std::error_code error;
    const fs::file_type type = fs::status(path, error).type();
    if (type == fs::file_type::not_found) return FileContents{Plist(plist_new_dict()), Format::binary};
    // Reading anything but a regular file (a folder, a pipe) would fail or block.
    if (type != fs::file_type::regular) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    Plist owned(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) return std::nullopt;
    const Format format = plist_is_binary(bytes.data(), static_cast<uint32_t>(bytes.size())) ? Format::binary : Format::xml;
    return FileContents{std::move(owned), format};
}

std::string serialized(const FileContents& contents) {
    char* data = nullptr;
    uint32_t length = 0;
    if (contents.format == Format::binary) {
        plist_to_bin(contents.dictionary.get(), &data, &length);
        std::string bytes(data ? data : "", data ? length : 0);
        plist_to_bin_free(data);
        return bytes;
    }
    plist_to_xml(contents.dictionary.get(), &data, &length);
    std::string bytes(data ? data : "", data ? length : 0);
    plist_to_xml_free(data);
    return bytes;
}

// A temporary file in the same folder, then a rename over the file: a reader sees the old
// contents or the new, never half of them.
bool writeAtomically(const std::string& path, const std::string& bytes) {
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    std::string temporary = path + temporarySuffix;
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) return false;
    // The new file keeps the old one's permissions (a temporary file is the owner's alone).
    struct stat existing{};
    if (::stat(path.c_str(), &existing) == 0) ::fchmod(fd.get(), existing.st_mode & 07777);
    const bool written = writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
    fd.reset();
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

PreferenceValue valueOf(plist_t node) {
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t flag = 0;
            plist_get_bool_val(node, &flag);
            return flag != 0;
        }
        case PLIST_UINT: {
            // Property-list integers are signed; this library hands them over as their bits.
            uint64_t bits = 0;
            plist_get_uint_val(node, &bits);
            return static_cast<int64_t>(bits);
        }
        case PLIST_REAL: {
            double number = 0;
            plist_get_real_val(node, &number);
            return number;
        }
        case PLIST_STRING: {
            uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return std::string(text ? text : "", text ? length : 0);
        }
        default:
            return OtherValue{};
    }
}

void apply(plist_t dictionary, const std::string& key, const std::optional<bool>& change) {
    if (change)
        plist_dict_set_item(dictionary, key.c_str(), plist_new_bool(*change ? 1 : 0));
    else if (plist_dict_get_item(dictionary, key.c_str()))
        plist_dict_remove_item(dictionary, key.c_str());
}

}  // namespace

struct PreferenceStore::Domain {
    bool loaded = false;
    Plist values{plist_new_dict()};
    std::map<std::string, std::optional<bool>> pending;
};

PreferenceStore::PreferenceStore(std::function<std::string()> homeDirectory)
    : homeDirectory_(std::move(homeDirectory)) {}

PreferenceStore::~PreferenceStore() = default;

std::string PreferenceStore::domainPath(const std::string& domain) const {
    return homeDirectory_() + preferencesFolder + domain + domainExtension;
}

PreferenceStore::Domain& PreferenceStore::domainLocked(const std::string& domain) {
    auto& entry = domains_[domain];
    if (!entry) entry = std::make_unique<Domain>();
    if (!entry->loaded) {
        if (auto contents = readDomainFile(domainPath(domain))) entry->values = std::move(contents->dictionary);
        entry->loaded = true;
    }
    return *entry;
}

std::optional<PreferenceValue> PreferenceStore::value(const std::string& domain, const std::string& key) {
    std::lock_guard lock(mutex_);
    Domain& state = domainLocked(domain);
    if (auto change = state.pending.find(key); change != state.pending.end()) {
        if (!change->second) return std::nullopt;
        return PreferenceValue(*change->second);
    }
    plist_t node = plist_dict_get_item(state.values.get(), key.c_str());
    if (!node) return std::nullopt;
    return valueOf(node);
}

void PreferenceStore::setValue(const std::string& domain, const std::string& key, std::optional<bool> value) {
    std::lock_guard lock(mutex_);
    domainLocked(domain).pending[key] = value;
}

bool PreferenceStore::synchronize(const std::string& domain) {
    std::lock_guard lock(mutex_);
    Domain& state = domainLocked(domain);
    const std::string path = domainPath(domain);
    if (!state.pending.empty()) {
        auto contents = readDomainFile(path);
        if (!contents) return false;
        for (const auto& [key, change] : state.pending) apply(contents->dictionary.get(), key, change);
        if (!writeAtomically(path, serialized(*contents))) return false;
        state.pending.clear();
    }
    auto reread = readDomainFile(path);
    state.values = reread ? std::move(reread->dictionary) : Plist(plist_new_dict());
    return true;
}

}  // namespace companion::preferences
