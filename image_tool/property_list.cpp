#include "image_tool/property_list.h"

#include <plist/plist.h>

#include <cstdlib>
#include <memory>

namespace companion::image_tool {

namespace {

constexpr const char* entitiesKey = "system-entities";
constexpr const char* imagesKey = "images";
constexpr const char* imagePathKey = "image-path";
constexpr const char* imageTypeKey = "image-type";
constexpr const char* vaultImageType = "encrypted vault (gocryptfs)";
constexpr const char* mountPointKey = "mount-point";
constexpr const char* devEntryKey = "dev-entry";
constexpr const char* contentHintKey = "content-hint";
constexpr const char* contentHint = "gocryptfs";
constexpr const char* volumeKindKey = "volume-kind";
constexpr const char* volumeKind = "fuse.gocryptfs";
constexpr const char* mountableKey = "potentially-mountable";

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using Node = std::unique_ptr<void, PlistDeleter>;

void setText(plist_t dictionary, const char* key, const std::string& value) {
    plist_dict_set_item(dictionary, key, plist_new_string(value.c_str()));
}

plist_t entityNode(const VolumeEntity& volume) {
    plist_t entity = plist_new_dict();
    setText(entity, contentHintKey, contentHint);
    setText(entity, devEntryKey, volume.devEntry);
    setText(entity, mountPointKey, volume.mountPoint);
    plist_dict_set_item(entity, mountableKey, plist_new_bool(1));
    setText(entity, volumeKindKey, volumeKind);
    return entity;
}

plist_t entitiesNode(const std::vector<VolumeEntity>& volumes) {
    plist_t entities = plist_new_array();
    for (const VolumeEntity& volume : volumes) plist_array_append_item(entities, entityNode(volume));
    return entities;
}

std::string xmlOf(const Node& root) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) return {};
    std::string text(xml, length);
    std::free(xml);
    return text;
}

}  // namespace

std::string attachPropertyList(const VolumeEntity& volume) {
    Node root(plist_new_dict());
    plist_dict_set_item(root.get(), entitiesKey, entitiesNode({volume}));
    return xmlOf(root);
}

std::string infoPropertyList(const std::vector<AttachedImage>& images) {
    Node root(plist_new_dict());
    plist_t list = plist_new_array();
    for (const AttachedImage& image : images) {
        plist_t entry = plist_new_dict();
        setText(entry, imagePathKey, image.imagePath);
        setText(entry, imageTypeKey, vaultImageType);
        plist_dict_set_item(entry, entitiesKey, entitiesNode(image.entities));
        plist_array_append_item(list, entry);
    }
    plist_dict_set_item(root.get(), imagesKey, list);
    return xmlOf(root);
}

}  // namespace companion::image_tool
