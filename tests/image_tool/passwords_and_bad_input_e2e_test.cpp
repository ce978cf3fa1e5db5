// The disk-image tool run as the agent runs it, password on standard input: each kind of password
// behaves as documented and is never seen on a command line, in an environment or in a file of
// the vault; and bad input fails with a clear text, leaving nothing mounted.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <thread>
#include <variant>

#include "platform/unique_fd.h"
#include "support/files.h"
#include "tests/image_tool/image_tool_support.h"

namespace companion::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// A random file big enough for 7-Zip to be seen running.
constexpr size_t archivedBytes = 16 << 20;

// What the file holds now; a process that ends while it is read leaves what was read before.
std::string procText(const fs::path& file) {
    UniqueFd in(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    char buffer[4096];
    for (ssize_t n; in && (n = ::read(in.get(), buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    return text;
}

// The command line and environment of every other process in this namespace, as they are now.
void noteEveryProcess(std::set<std::string>& seen) {
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    while (const dirent* entry = ::readdir(proc.get())) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0 || pid == ::getpid()) continue;
        for (const char* part : {"cmdline", "environ"}) seen.insert(procText(fs::path("/proc") / entry->d_name / part));
    }
}

// Runs the tool with `input` on its standard input, looking at every process while it runs.
CommandResult runWatched(const std::vector<std::string>& arguments, const std::string& input,
                         std::set<std::string>& seen) {
    using process::Stream;
    auto launched = process::Process::launch({imageTool(), arguments, std::nullopt, Stream::pipe, Stream::pipe, Stream::pipe});
    auto& tool = std::get<process::Process>(launched);
    writeAllWith(input, [&](const char* data, size_t size) { return ::write(tool.inputPipe().get(), data, size); });
    tool.inputPipe().reset();
    while (!tool.waitFor(0ms)) {
        noteEveryProcess(seen);
        std::this_thread::sleep_for(1ms);
    }
    CommandResult result{tool.wait().status(), procText("/dev/fd/" + std::to_string(tool.outputPipe().get())),
                         procText("/dev/fd/" + std::to_string(tool.errorPipe().get()))};
    noteEveryProcess(seen);  // the vault's gocryptfs, which outlives the tool
    return result;
}

// Incompressible, so that 7-Zip takes its time over it.
void writeRandomFile(const fs::path& file, size_t size) {
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    writeFile(file, bytes);
}

bool anyHolds(const std::set<std::string>& texts, const std::string& needle) {
    for (const std::string& text : texts)
        if (text.find(needle) != std::string::npos) return true;
    return false;
}

bool anyFileHolds(const fs::path& folder, const std::string& needle) {
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && procText(entry.path()).find(needle) != std::string::npos) return true;
    return false;
}

struct PasswordCase {
    const char* name;
    std::string given;      // what the host sends; the agent adds the zero byte
    std::string effective;  // what opens the vault and the archive
};

const PasswordCase passwordCases[] = {
    {"Empty", "", ""},
    {"ThousandBytes", std::string(1000, 'k'), std::string(1000, 'k')},
    {"Spaces", " avec  des espaces ", " avec  des espaces "},
    {"Accented", "clé é", "clé é"},
    {"ZeroByteInside", std::string("avant\0après", 12), "avant"},
};

class PasswordsTest : public ::testing::TestWithParam<PasswordCase> {};

TEST_P(PasswordsTest, BehaveAsDocumentedAndNeverLeaveThePipe) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    REAL_IMAGE_TOOLS_OR_SKIP();
    privateRemovableVolumes();
    const auto& [name, given, effective] = GetParam();
    const std::string input = given + std::string(1, '\0');
    TempDir work;
    const std::string image = (work.path() / "V.sparsebundle").string();
    writeRandomFile(work.path() / "data.bin", archivedBytes);
    std::set<std::string> seen;
    const auto created = runWatched({"create", "-type", "SPARSEBUNDLE", "-fs", "APFS", "-encryption", "AES-256", "-size",
                                     "1g", "-volname", "V", "-stdinpass", image},
                                    input, seen);
    const std::string archive = (work.path() / "A.dmg").string();
    const auto archived = runWatched({"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass", "-volname",
                                      "A", "-srcfolder", (work.path() / "data.bin").string(), archive},
                                     input, seen);
    if (effective.empty()) {
        EXPECT_EQ(created.status, 1);
        EXPECT_NE(created.errorOutput.find("needs a password"), std::string::npos) << created.errorOutput;
        EXPECT_EQ(archived.status, 1);
        EXPECT_NE(archived.errorOutput.find("needs a password"), std::string::npos) << archived.errorOutput;
        EXPECT_FALSE(fs::exists(image) || fs::exists(archive));
        return;
    }
    ASSERT_EQ(created.status, 0) << created.errorOutput;
    ASSERT_EQ(archived.status, 0) << archived.errorOutput;
    const auto attached = runWatched({"attach", "-plist", "-stdinpass", image}, input, seen);
    ASSERT_EQ(attached.status, 0) << attached.errorOutput;
    EXPECT_TRUE(anyHolds(seen, "/usr/bin/gocryptfs")) << "the watch saw gocryptfs";
    EXPECT_TRUE(anyHolds(seen, "/usr/bin/7zz")) << "the watch saw 7-Zip";
    EXPECT_FALSE(anyHolds(seen, effective)) << "a command line or an environment holds the password";
    EXPECT_FALSE(anyFileHolds(image, effective)) << "a file of the vault holds the password";
    EXPECT_EQ(runCommand(sevenZip, {"t", "-p" + effective, archive}).status, 0);
    const std::string mountPoint = plistText(attached.output, "mount-point");
    EXPECT_EQ(runWatched({"detach", mountPoint}, "", seen).status, 0);
}

INSTANTIATE_TEST_SUITE_P(Passwords, PasswordsTest, ::testing::ValuesIn(passwordCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ImageToolBadInput, FailsWithAClearTextAndLeavesNothingMounted) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    REAL_IMAGE_TOOLS_OR_SKIP();
    privateRemovableVolumes();
    TempDir work;
    const fs::path w = work.path();
    const std::string input("pw\0", 3);
    const auto create = [&](const std::string& image, const std::string& volume) {
        return runCommand(imageTool(), {"create", "-type", "SPARSEBUNDLE", "-fs", "APFS", "-encryption", "AES-256",
                                        "-size", "1g", "-volname", volume, "-stdinpass", image},
                          Bytes(input.begin(), input.end()));
    };
    const auto attach = [&](const fs::path& image) {
        return runCommand(imageTool(), {"attach", "-plist", "-stdinpass", image.string()}, Bytes(input.begin(), input.end()));
    };
    const auto archive = [&](const fs::path& destination, const fs::path& item) {
        return runCommand(imageTool(), {"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass", "-volname",
                                        "A", "-srcfolder", item.string(), destination.string()},
                          Bytes(input.begin(), input.end()));
    };
    writeFile(w / "file.sparsebundle", "x");
    fs::create_directories(w / "empty.sparsebundle");
    ASSERT_EQ(create((w / "corrupt.sparsebundle").string(), "C").status, 0);
    writeFile(w / "corrupt.sparsebundle/vault.json", "{\"format\": \"tavro-vault\", \"vers");
    ASSERT_EQ(create((w / "busy.sparsebundle").string(), "Busy").status, 0);
    const std::string busyMountPoint = removableVolumes + "/root/Busy";
    fs::create_directories(busyMountPoint);
    ASSERT_EQ(::mount("tmpfs", busyMountPoint.c_str(), "tmpfs", 0, nullptr), 0);

    const std::pair<CommandResult, std::string> cases[] = {
        {create((w / "file.sparsebundle").string(), "F"), "already exists"},
        {attach(w / "empty.sparsebundle"), "is not a vault"},
        {attach(w / "corrupt.sparsebundle"), "damaged"},
        {attach(w / "busy.sparsebundle"), "already in use"},
        {archive(w / "gone/A.dmg", w / "corrupt.sparsebundle"), "does not exist"},
        {archive(w / "unread.dmg", w / "missing"), "No such file or directory"},
    };
    for (const auto& [result, expected] : cases) {
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.errorOutput.find(expected), std::string::npos) << result.errorOutput;
    }
    EXPECT_TRUE(vaultMounts().empty());
    EXPECT_EQ(readFile(w / "file.sparsebundle"), "x");
    EXPECT_TRUE(fs::exists(w / "unread.dmg")) << "what 7-Zip wrote stays";

    // Through the agent, the same refusal reaches the host and the agent goes on serving.
    AgentProcess agent;
    ASSERT_TRUE(agent.waitForSocket());
    const auto reply = agentCall(agent, {"vaultAttachWithPath:password:hidden:reply:",
                                         quotedJson((w / "empty.sparsebundle").string()), quotedJson("pw"), "false"});
    EXPECT_EQ(reply[0], 1);
    EXPECT_EQ(plistText(agentCall(agent, {"attachedImagesWithReply:"})[0], "image-path"), "");
}

TEST(ImageToolStopped, EndsSevenZipAndLeavesWhatItWrote) {
    COMPANION_IN_PRIVATE_NAMESPACE();
    REAL_IMAGE_TOOLS_OR_SKIP();
    TempDir work;
    writeRandomFile(work.path() / "data.bin", archivedBytes * 2);
    const fs::path archive = work.path() / "A.dmg";
    using process::Stream;
    auto launched = process::Process::launch(
        {imageTool(),
         {"create", "-format", "UDZO", "-encryption", "AES-256", "-stdinpass", "-volname", "A", "-srcfolder",
          (work.path() / "data.bin").string(), archive.string()},
         std::nullopt, Stream::pipe, Stream::nullDevice, Stream::nullDevice});
    auto& tool = std::get<process::Process>(launched);
    writeAllWith(std::string("pw\0", 3), [&](const char* data, size_t size) { return ::write(tool.inputPipe().get(), data, size); });
    tool.inputPipe().reset();
    ASSERT_TRUE(eventually([&] { return fs::exists(archive); }, 30s));
    tool.terminate();
    EXPECT_NE(tool.wait().status(), 0);
    EXPECT_TRUE(fs::exists(archive)) << "the unfinished archive stays";
    std::set<std::string> seen;
    noteEveryProcess(seen);
    EXPECT_FALSE(anyHolds(seen, "/usr/bin/7zz")) << "7-Zip ended with the tool";
}

}  // namespace
}  // namespace companion::testing
