#include "image_tool/vault.h"

#include <dirent.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <variant>

#include "image_tool/child_run.h"
#include "image_tool/password.h"
#include "image_tool/property_list.h"
#include "image_tool/vault_store.h"
#include "platform/descriptor_wait.h"
#include "platform/platform.h"
#include "platform/unique_fd.h"

namespace companion::image_tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* gocryptfs = "/usr/bin/gocryptfs";
constexpr const char* gocryptfsName = "gocryptfs";
constexpr const char* removableVolumesRoot = "/media";
constexpr const char* homeVolumesFolder = "Volumes";
constexpr const char* runtimeFolderVariable = "XDG_RUNTIME_DIR";
constexpr const char* runtimeVaultsFolder = "tavro-companion-vaults";
constexpr const char* homeHiddenVaultsFolder = ".local/state/tavro-companion/vaults";
constexpr const char* procFolder = "/proc";
constexpr auto daemonEndLimit = std::chrono::seconds(10);
constexpr mode_t privateFolderMode = 0700;

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// What a failed child said, for the user: its error text, else its output.
std::string childText(const ChildResult& result) {
    std::string text = result.errorOutput.empty() ? result.output : result.errorOutput;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string userName() {
    if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_name) return entry->pw_name;
    return std::to_string(::getuid());
}

bool canCreateIn(const fs::path& folder) { return ::access(folder.c_str(), W_OK | X_OK) == 0; }

// The folder at `path`, made only when missing; false when it cannot be had.
bool ensureFolder(const fs::path& path) {
    std::error_code error;
    fs::create_directories(path, error);
    return fs::is_directory(path, error);
}

std::optional<std::string> newVaultProblem(const CreateVault& request, const std::string& password) {
    if (!request.image.starts_with('/')) return "The vault's path must be absolute: " + request.image;
    if (!request.image.ends_with(vaultExtension)) return "The vault's name must end in .sparsebundle: " + request.image;
    if (!isUsableVolumeName(request.volumeName))
        return "The volume name cannot name a mount point: " + quoted(request.volumeName);
    if (password.empty()) return std::string("A vault needs a password: gocryptfs refuses an empty one.");
    return unusablePassword(password);
}

std::optional<std::string> makeVaultFolder(const std::string& image) {
    if (::mkdir(image.c_str(), privateFolderMode) == 0) return std::nullopt;
    if (errno == EEXIST) return "Something already exists at " + image + ": a new vault needs a free path.";
    if (errno == ENOENT) return "The folder of " + image + " does not exist.";
    return "Cannot create " + image + ": " + std::strerror(errno) + ".";
}

bool writeDescription(const fs::path& image, const VaultDescription& description) {
    std::ofstream file(image / descriptionFileName);
    file << descriptionText(description);
    file.close();
    return !file.fail();
}

// The gocryptfs process that serves `mountPoint`, held by a pidfd so that signalling and waiting
// reach that very process.
class VaultDaemon {
public:
    static std::optional<VaultDaemon> serving(const std::string& mountPoint) {
        std::unique_ptr<DIR, int (*)(DIR*)> folder(::opendir(procFolder), ::closedir);
        if (!folder) return std::nullopt;
        while (const dirent* entry = ::readdir(folder.get())) {
            const int pid = std::atoi(entry->d_name);
            if (pid <= 0) continue;
            UniqueFd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
            // Read after the pidfd is open: a newcomer under this pid could not be reached later.
            if (pidFd && serves(arguments(pid), mountPoint)) return VaultDaemon(std::move(pidFd));
        }
        return std::nullopt;
    }

    void terminate() const { ::syscall(SYS_pidfd_send_signal, pidFd_.get(), SIGTERM, nullptr, 0); }
    bool waitForEnd() const { return becomesReadable(pidFd_.get(), daemonEndLimit); }

private:
    explicit VaultDaemon(UniqueFd pidFd) : pidFd_(std::move(pidFd)) {}

    static std::vector<std::string> arguments(int pid) {
        std::ifstream file(fs::path(procFolder) / std::to_string(pid) / "cmdline");
        std::vector<std::string> words;
        for (std::string word; std::getline(file, word, '\0');) words.push_back(word);
        return words;
    }

    static bool serves(const std::vector<std::string>& words, const std::string& mountPoint) {
        return words.size() > 2 && fs::path(words.front()).filename() == gocryptfsName && words.back() == mountPoint;
    }

    UniqueFd pidFd_;
};

std::optional<MountTableEntry> mountAt(const std::vector<MountTableEntry>& table, const std::string& mountPoint) {
    for (const MountTableEntry& entry : table)
        if (entry.mountPoint == mountPoint) return entry;
    return std::nullopt;
}

std::optional<std::string> attachedAt(const std::vector<MountTableEntry>& table, const std::string& image) {
    for (const AttachedVault& vault : attachedVaults(table))
        if (vault.image == image) return vault.mountPoint;
    return std::nullopt;
}

// A mount point made ready for a vault; `created` when this run made its folder, which must go
// again if the mount fails.
struct MountPlace {
    std::string path;
    bool created = false;
};

std::variant<MountPlace, std::string> freeMountPoint(bool hidden, const std::string& volumeName) {
    const fs::path root = hidden ? hiddenMountRoot() : visibleMountRoot();
    if (!ensureFolder(root)) return "Cannot create the folder of mount points " + root.string() + ".";
    std::error_code error;
    MountPlace place{(fs::canonical(root, error) / volumeName).string()};
    if (mountAt(mountEntries(), place.path)) return "The mount point " + place.path + " is already in use.";
    place.created = ::mkdir(place.path.c_str(), privateFolderMode) == 0;
    if (!place.created && !(fs::is_directory(place.path, error) && fs::is_empty(place.path, error)))
        return "The mount point " + place.path + " is already in use: something else is there.";
    return place;
}

}  // namespace

std::string visibleMountRoot() {
    const fs::path removable = fs::path(removableVolumesRoot) / userName();
    std::error_code error;
    if (canCreateIn(removable) || (!fs::exists(removable, error) && canCreateIn(removableVolumesRoot)))
        return removable.string();
    return (fs::path(systemHomeDirectory()) / homeVolumesFolder).string();
}

std::string hiddenMountRoot() {
    if (const char* runtime = std::getenv(runtimeFolderVariable); runtime && runtime[0] == '/')
        return (fs::path(runtime) / runtimeVaultsFolder).string();
    return (fs::path(systemHomeDirectory()) / homeHiddenVaultsFolder).string();
}

Outcome createVault(const CreateVault& request, const std::string& password, int endSignals) {
    if (auto problem = newVaultProblem(request, password)) return failure(*problem);
    if (auto problem = makeVaultFolder(request.image)) return failure(*problem);
    const fs::path image(request.image);
    std::error_code ignored;
    if (!writeDescription(image, {request.volumeName, request.maximumGB}) ||
        ::mkdir((image / storeFolderName).c_str(), privateFolderMode) != 0) {
        fs::remove_all(image, ignored);
        return failure("Cannot write the vault at " + request.image + ".");
    }
    auto run = runChild(gocryptfs, {"-init", "-q", "--", (image / storeFolderName).string()}, passwordLine(password),
                        endSignals);
    if (run.status != 0) {
        // Only this run made the folder, and a half-made vault would only block the next try.
        fs::remove_all(image, ignored);
        return failure("Cannot create the vault " + request.image + ": " + childText(run));
    }
    return {};
}

Outcome attachVault(const AttachVault& request, const std::string& password, int endSignals) {
    auto vault = readVault(request.image);
    if (auto* problem = std::get_if<std::string>(&vault)) return failure(*problem);
    if (auto problem = unusablePassword(password)) return failure(*problem);
    std::error_code error;
    const std::string image = fs::canonical(request.image, error).string();
    if (auto mountPoint = attachedAt(mountEntries(), image))
        return failure(image + " is already attached at " + *mountPoint + ".");

    auto place = freeMountPoint(request.hidden, std::get<VaultDescription>(vault).volumeName);
    if (auto* problem = std::get_if<std::string>(&place)) return failure(*problem);
    const auto& [mountPoint, created] = std::get<MountPlace>(place);
    const std::string source = sourceOfImage(image);
    auto run = runChild(gocryptfs, {"-q", "-fsname", source, "--", (fs::path(image) / storeFolderName).string(), mountPoint},
                        passwordLine(password), endSignals);
    if (run.status != 0 || !mountAt(mountEntries(), mountPoint)) {
        if (created) fs::remove(mountPoint, error);
        return failure("Cannot attach " + image + ": " + childText(run));
    }
    return {succeeded, attachPropertyList({mountPoint, source}), ""};
}

Outcome detachVault(const DetachVault& request, int endSignals) {
    const auto table = mountEntries();
    auto entry = mountAt(table, request.mountPoint);
    if (!entry) return failure(request.mountPoint + " is not a mount point.");
    // By its file system alone: a vault whose description was damaged while attached must still go.
    if (entry->type != vaultFileSystemType) return failure(request.mountPoint + " is not a vault's mount point.");
    auto daemon = VaultDaemon::serving(request.mountPoint);
    std::vector<std::string> arguments{"-u"};
    // A lazy unmount takes the volume away now; files still open keep it busy out of sight.
    if (request.force) arguments.push_back("-z");
    arguments.push_back(request.mountPoint);
    auto run = runChild(ToolPaths{}.fusermount, arguments, "", endSignals);
    if (run.status != 0) return failure("Cannot detach " + request.mountPoint + ": " + childText(run));
    if (daemon) {
        // After a plain unmount gocryptfs ends by itself; forced, it must be told to stop serving.
        if (request.force) daemon->terminate();
        daemon->waitForEnd();
    }
    std::error_code ignored;
    fs::remove(request.mountPoint, ignored);
    return {succeeded, quoted(request.mountPoint) + " detached.\n", ""};
}

Outcome listAttachedVaults() {
    std::vector<AttachedImage> images;
    for (const AttachedVault& vault : attachedVaults(mountEntries()))
        images.push_back({vault.image, {{vault.mountPoint, vault.source}}});
    return {succeeded, infoPropertyList(images), ""};
}

}  // namespace companion::image_tool
