#pragma once
// An sshd of its own on the loopback address, with a host key and a client key made for the
// test in a folder of the test. Nothing of this machine's own ssh configuration is read or
// changed. Needs root (it serves the account that runs it, root included).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "core/command_runner.h"
#include "platform/process/process.h"
#include "support/eventually.h"
#include "support/files.h"

namespace companion::testing {

class SshServer {
public:
    static constexpr const char* sshd = "/usr/sbin/sshd";
    static constexpr const char* loopback = "127.0.0.1";

    explicit SshServer(std::filesystem::path folder) : folder_(std::move(folder)) {}

    // Empty once the server listens; otherwise why it does not.
    std::string start() {
        std::error_code ignored;
        std::filesystem::create_directories(privilegeSeparationDir, ignored);
        for (const char* key : {"host_key", "client_key"}) {
            if (auto error = makeKey(key); !error.empty()) return error;
        }
        std::filesystem::copy_file(path("client_key.pub"), path("authorized_keys"));
        port_ = freePort();
        if (port_ <= 0) return "no free port";
        writeConfig();
        const auto check = runCommand(sshd, {"-t", "-f", path("sshd_config")});
        if (check.status != 0) return check.errorOutput;
        return launch();
    }

    int port() const { return port_; }
    std::string path(const std::string& name) const { return (folder_ / name).string(); }
    std::string clientKey() const { return path("client_key"); }

    // A port nobody listens on right now.
    static int freePort() {
        UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address = loopbackAddress(0);
        socklen_t length = sizeof address;
        if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
        if (::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return -1;
        return ntohs(address.sin_port);
    }

private:
    // sshd refuses to start without its privilege-separation folder.
    static constexpr const char* privilegeSeparationDir = "/run/sshd";
    static constexpr const char* sshKeygen = "/usr/bin/ssh-keygen";
    static constexpr auto startLimit = std::chrono::seconds(20);

    static sockaddr_in loopbackAddress(int port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    static bool accepts(int port) {
        UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const sockaddr_in address = loopbackAddress(port);
        return ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }

    std::string makeKey(const std::string& name) const {
        const auto result = runCommand(sshKeygen, {"-q", "-t", "ed25519", "-N", "", "-C", "test", "-f", path(name)});
        return result.status == 0 ? "" : result.errorOutput;
    }

    void writeConfig() const {
        writeFile(path("sshd_config"), "Port " + std::to_string(port_) + "\nListenAddress " + loopback +
                                           "\nHostKey " + path("host_key") + "\nAuthorizedKeysFile " +
                                           path("authorized_keys") +
                                           "\nPidFile none\nStrictModes no\nUsePAM no\n"
                                           "PermitRootLogin prohibit-password\nPasswordAuthentication no\n"
                                           "KbdInteractiveAuthentication no\nLogLevel ERROR\n"
                                           "Subsystem sftp internal-sftp\n");
    }

    std::string launch() {
        auto launched = process::Process::launch({.executable = sshd,
                                                  .arguments = {"-f", path("sshd_config"), "-D", "-e"},
                                                  .error = process::Stream::inherit});
        if (auto* error = std::get_if<std::string>(&launched)) return *error;
        process_.emplace(std::move(std::get<process::Process>(launched)));
        const auto settled = [&] { return accepts(port_) || !process_->isRunning(); };
        if (!eventually(settled, startLimit)) return "sshd never listened";
        return process_->isRunning() ? "" : "sshd ended at start";
    }

    std::filesystem::path folder_;
    int port_ = 0;
    std::optional<process::Process> process_;  // ended and reaped with the server
};

}  // namespace companion::testing
