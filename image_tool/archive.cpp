#include "image_tool/archive.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "image_tool/child_run.h"
#include "image_tool/password.h"

namespace companion::image_tool {

namespace {

namespace fs = std::filesystem;

constexpr const char* sevenZip = "/usr/bin/7zz";
constexpr const char* rootFolder = "/";
constexpr std::string_view stoppedText = "the run was stopped before it finished.\n";
// Add, as a 7z archive, headers (the names) encrypted too, fast compression (most of a selection
// is photos, videos and documents that are compressed already, and the stronger levels cost
// several times the time for a few percent), symbolic links stored as links, the password read
// from standard input, no progress output.
constexpr std::string_view sevenZipOptions[] = {"a", "-t7z", "-mhe=on", "-mx=1", "-snl", "-p", "-bsp0", "-bso0", "--"};

bool somethingAt(const std::string& path) {
    std::error_code ignored;
    return fs::symlink_status(path, ignored).type() != fs::file_type::not_found;
}

std::optional<std::string> archiveProblem(const CreateArchive& request, const std::string& password) {
    // 7-Zip writes an unencrypted archive when given no password: refuse rather than leave the
    // files readable by anyone under a name that promises encryption.
    if (password.empty()) return std::string("An encrypted archive needs a password: the password is empty.");
    if (auto problem = unusablePassword(password)) return problem;
    if (!request.destination.starts_with('/')) return "The archive's path must be absolute: " + request.destination;
    for (const std::string& item : request.items)
        if (!item.starts_with('/')) return "Each item's path must be absolute: " + item;
    // 7-Zip would add to an archive already there instead of making a new one.
    if (somethingAt(request.destination))
        return "Something already exists at " + request.destination + ": the archive needs a free path.";
    std::error_code error;
    const fs::path folder = fs::path(request.destination).parent_path();
    if (!fs::is_directory(folder, error)) return "The folder of " + request.destination + " does not exist.";
    return std::nullopt;
}

}  // namespace

std::vector<std::string> archiveMembers(const std::vector<std::string>& items) {
    std::set<std::string> taken;
    std::vector<std::string> members;
    for (const std::string& item : items) {
        const std::string name = fs::path(item).filename().string();
        if (taken.insert(name).second) members.push_back(item);
        else members.push_back(item.substr(item.find_first_not_of('/')));
    }
    return members;
}

std::vector<std::string> archiveArguments(const std::string& destination, const std::vector<std::string>& items) {
    std::vector<std::string> arguments(std::begin(sevenZipOptions), std::end(sevenZipOptions));
    arguments.push_back(destination);
    for (std::string& member : archiveMembers(items)) arguments.push_back(std::move(member));
    return arguments;
}

Outcome createArchive(const CreateArchive& request, const std::string& password, int endSignals) {
    if (auto problem = archiveProblem(request, password)) return failure(*problem);
    // Items given relative are read from "/"; every other path is absolute.
    if (::chdir(rootFolder) != 0) return failure("Cannot enter the root folder.");
    // Asked to stop, 7-Zip removes its unfinished archive; ended outright, it leaves what it wrote,
    // as every failed run does.
    auto run = runChild(sevenZip, archiveArguments(request.destination, request.items), passwordLine(password),
                        endSignals, SIGKILL);
    if (run.status == 0) return {};
    // What 7-Zip wrote stays: the archive is left as the run ended.
    const std::string& text = run.interrupted          ? std::string(stoppedText)
                              : run.errorOutput.empty() ? run.output
                                                        : run.errorOutput;
    return {run.status, "", "Cannot create the archive " + request.destination + ":\n" + text};
}

}  // namespace companion::image_tool
