#include "image_tool/vault_store.h"


#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include <nlohmann/json.hpp>

namespace companion::image_tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* formatKey = "format";
constexpr const char* formatName = "tavro-vault";
constexpr const char* versionKey = "version";
constexpr int formatVersion = 1;
constexpr const char* volumeNameKey = "volumeName";
constexpr const char* maximumKey = "maximumGB";
constexpr char escape = '%';
constexpr char optionSeparator = ',';
constexpr const char* escapedEscape = "%25";
constexpr const char* escapedSeparator = "%2C";
constexpr int jsonIndent = 2;

std::string damaged(const std::string& why) { return "The vault's description is damaged: " + why + "."; }

}  // namespace

std::string descriptionText(const VaultDescription& description) {
    nlohmann::json json{{formatKey, formatName},
                        {versionKey, formatVersion},
                        {volumeNameKey, description.volumeName},
                        {maximumKey, description.maximumGB}};
    return json.dump(jsonIndent) + "\n";
}

std::variant<VaultDescription, std::string> parseDescription(const std::string& text) {
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return damaged("it is not a JSON object");
    if (json.value(formatKey, "") != formatName) return damaged("it does not describe a vault");
    if (json.value(versionKey, 0) != formatVersion) return damaged("its version is unknown");
    auto name = json.find(volumeNameKey);
    auto maximum = json.find(maximumKey);
    if (name == json.end() || !name->is_string() || !isUsableVolumeName(name->get<std::string>()))
        return damaged("its volume name is missing or unusable");
    if (maximum == json.end() || !maximum->is_number_integer() || maximum->get<int64_t>() < 1)
        return damaged("its maximum size is missing");
    return VaultDescription{name->get<std::string>(), maximum->get<int64_t>()};
}

std::variant<VaultDescription, std::string> readVault(const std::string& image) {
    std::error_code error;
    if (!fs::is_directory(image, error)) return image + " is not a vault: it is not a folder.";
    const fs::path folder(image);
    if (!fs::is_regular_file(folder / storeFolderName / storeConfigName, error) ||
        !fs::exists(folder / descriptionFileName, error))
        return image + " is not a vault: it holds no encrypted store and description.";
    std::ifstream file(folder / descriptionFileName);
    if (!file.is_open()) return damaged("it cannot be read");
    std::stringstream text;
    text << file.rdbuf();
    return parseDescription(text.str());
}

bool isUsableVolumeName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c == '/' || c < 0x20 || c == 0x7f) return false;
    return true;
}

std::string sourceOfImage(const std::string& image) {
    std::string source;
    for (char c : image) {
        if (c == escape) source += escapedEscape;
        else if (c == optionSeparator) source += escapedSeparator;
        else source += c;
    }
    return source;
}

std::string imageOfSource(const std::string& source) {
    std::string image;
    for (size_t i = 0; i < source.size(); ++i) {
        const std::string_view rest = std::string_view(source).substr(i);
        if (rest.starts_with(escapedEscape)) image += escape;
        else if (rest.starts_with(escapedSeparator)) image += optionSeparator;
        else {
            image += source[i];
            continue;
        }
        i += std::string_view(escapedEscape).size() - 1;
    }
    return image;
}

std::vector<AttachedVault> attachedVaults(const std::vector<MountTableEntry>& table) {
    std::vector<AttachedVault> vaults;
    for (const MountTableEntry& entry : table) {
        if (entry.type != vaultFileSystemType) continue;
        const std::string image = imageOfSource(entry.source);
        if (!image.ends_with(vaultExtension)) continue;
        if (!std::holds_alternative<VaultDescription>(readVault(image))) continue;
        vaults.push_back({image, entry.mountPoint, entry.source});
    }
    return vaults;
}

}  // namespace companion::image_tool
