// What a host application does with the companion: connect, greet, read a working tree's Git
// status, and synchronise two folders while the sync's log lines stream in.
//
// Usage: host_example [--socket PATH] GIT_ROOT SOURCE DESTINATION

#include <tavro-companion/client.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

// One JSON string.
std::string quoted(const std::string& text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            result += '\\';
            result += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            result += escaped;
        } else {
            result += c;
        }
    }
    return result + "\"";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    std::string socket = tavro_companion::defaultSocketPath();
    if (words.size() >= 2 && words[0] == "--socket") {
        socket = words[1];
        words.erase(words.begin(), words.begin() + 2);
    }
    if (words.size() != 3) {
        std::fprintf(stderr, "usage: host_example [--socket PATH] GIT_ROOT SOURCE DESTINATION\n");
        return 2;
    }

    tavro_companion::ClientHandlers handlers;
    handlers.syncOutput = [](const std::string& syncId, const std::string& line) {
        std::printf("syncOutput %s: %s\n", syncId.c_str(), line.c_str());
    };
    handlers.rcloneMountEnded = [](const std::string& mountId) { std::printf("mount ended: %s\n", mountId.c_str()); };
    std::string error;
    auto connection = tavro_companion::Connection::open(socket, handlers, &error);
    if (!connection) {
        std::fprintf(stderr, "no agent at %s: %s\n", socket.c_str(), error.c_str());
        return 1;
    }
    auto version = connection->agentVersion();
    std::printf("agent %s, library %s\n", version.value_or("?").c_str(), tavro_companion::libraryVersion());

    auto status = connection->callAndWait("gitStatusWithRoot:reply:", "[" + quoted(words[0]) + "]", &error);
    if (!status) return std::fprintf(stderr, "git status: %s\n", error.c_str()), 1;
    std::printf("git status: %s\n", status->c_str());

    // Copy, no checksum, no excludes, no trash folder, for real.
    std::string sync = "[\"example\"," + quoted(words[1]) + "," + quoted(words[2]) + ",false,false,[],null,false]";
    auto synced = connection->callAndWait("rcloneSyncWithId:source:destination:mirror:checksum:excludes:trashRoot:dryRun:reply:",
                                          sync, &error);
    if (!synced) return std::fprintf(stderr, "sync: %s\n", error.c_str()), 1;
    std::printf("sync: %s\n", synced->c_str());
    return 0;
}
