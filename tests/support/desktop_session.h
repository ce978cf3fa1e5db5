#pragma once
// A headless desktop of its own for the dialog assistant's end-to-end tests and benchmarks: an X
// server (Xvfb) or a Wayland compositor (Weston, with no X server at all) and a session bus, on which the accessibility bus and its registry start on
// demand; and the test applications, whose printed lines tell what their dialogs show.
//
//   DesktopSession desktop;                   // skip when desktop.unavailable() says why
//   desktop.switchAssistiveTechnologies(true);
//   auto app = desktop.launch({"/usr/bin/python3", gtkDialogProgram(), "open", folder});
//   app.waitForLine("folder " + folder);
//
// The test process takes the desktop's DISPLAY and session bus, so that an agent started from it
// uses them too.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/files.h"
#include "support/session_fixture.h"

namespace companion::testing {

inline constexpr const char* xServerProgram = "/usr/bin/Xvfb";
inline constexpr const char* compositorProgram = "/usr/bin/weston";
inline constexpr const char* compositorSocket = "wayland-companion";
inline constexpr auto compositorStartLimit = std::chrono::seconds(10);
inline constexpr auto compositorStartPoll = std::chrono::milliseconds(50);
inline constexpr const char* sessionBusProgram = "/usr/bin/dbus-daemon";
inline constexpr const char* busSendProgram = "/usr/bin/dbus-send";
inline constexpr const char* systemPython = "/usr/bin/python3";
inline constexpr const char* fileManagerProgram = "/usr/bin/pcmanfm";
inline constexpr const char* screenGeometry = "1280x1024x24";
// The desktop's handler of folders, whatever file managers this machine has installed.
inline constexpr const char* defaultFolderHandler = "pcmanfm.desktop";

inline std::string gtkDialogProgram() { return std::string(COMPANION_TEST_HELPERS) + "/dialogs/gtk_dialog.py"; }
inline std::string gtk4DialogProgram() { return std::string(COMPANION_TEST_HELPERS) + "/dialogs/gtk4_dialog.py"; }
inline std::string qtDialogProgram() { return std::string(COMPANION_BIN_DIR) + "/qt_file_dialog"; }
inline std::string portalDialogProgram() { return std::string(COMPANION_TEST_HELPERS) + "/dialogs/portal_dialog.py"; }
inline std::string qt5DialogProgram() { return std::string(COMPANION_TEST_HELPERS) + "/dialogs/qt5_dialog.py"; }

// In the order given: a later entry wins.
using ChildEnvironment = std::vector<std::pair<std::string, std::string>>;

// A child in a process group of its own (so that what it starts ends with it), with its standard
// output readable line by line.
class DesktopChild {
public:
    DesktopChild() = default;
    DesktopChild(const std::vector<std::string>& argv, const ChildEnvironment& environment, int extraFd = -1) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(out[1], STDOUT_FILENO);
            if (extraFd >= 0) ::fcntl(extraFd, F_SETFD, 0);
            for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
    }
    DesktopChild(DesktopChild&& other) noexcept { *this = std::move(other); }
    DesktopChild& operator=(DesktopChild&& other) noexcept {
        std::swap(pid_, other.pid_);
        std::swap(out_, other.out_);
        std::swap(buffer_, other.buffer_);
        seen_.swap(other.seen_);
        return *this;
    }
    ~DesktopChild() {
        if (out_ >= 0) ::close(out_);
        if (pid_ <= 0) return;
        ::kill(-pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

    pid_t pid() const { return pid_; }
    // Every line printed so far.
    const std::vector<std::string>& lines() const { return seen_; }

    // The next line that starts with `prefix`, read within `limit`; none when it did not come.
    std::optional<std::string> waitForLine(const std::string& prefix,
                                           std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        do {
            for (size_t i = checked_; i < seen_.size(); ++i) {
                if (!seen_[i].starts_with(prefix)) continue;
                checked_ = i + 1;
                return seen_[i];
            }
        } while (readSome(deadline));
        return std::nullopt;
    }

private:
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{out_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0) return false;
        char chunk[4096];
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = buffer_.find('\n')) != std::string::npos; buffer_.erase(0, end + 1))
            seen_.push_back(buffer_.substr(0, end));
        return true;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
    std::vector<std::string> seen_;
    size_t checked_ = 0;
};

enum class DisplayServer { x11, wayland };

class DesktopSession {
public:
    explicit DesktopSession(DisplayServer server = DisplayServer::x11) {
        environment_ = {{"XDG_RUNTIME_DIR", runtime_.str()},
                        {"XDG_CONFIG_HOME", runtime_.str()},
                        // Settings stay in memory: nothing a test switches outlives it.
                        {"GSETTINGS_BACKEND", "memory"}};
        chooseFolderHandler(defaultFolderHandler);
        // Programs started from here inherit the rest of the test's environment.
        if (server == DisplayServer::wayland) ::unsetenv("DISPLAY");
        for (const char* name : {"WAYLAND_DISPLAY", "GDK_BACKEND", "QT_QPA_PLATFORM"}) ::unsetenv(name);
        if (!(server == DisplayServer::x11 ? startXServer() : startCompositor())) return;
        if (!startSessionBus()) return;
        for (const auto& [name, value] : environment_) ::setenv(name.c_str(), value.c_str(), 1);
        ::unsetenv("AT_SPI_BUS_ADDRESS");
    }

    // The desktop entry that opens folders, for the processes started from now on.
    void chooseFolderHandler(const std::string& desktopEntry) {
        writeFile(runtime_.path() / "mimeapps.list", "[Default Applications]\ninode/directory=" + desktopEntry + "\n");
    }

    // Why the desktop could not be had; empty when it runs.
    const std::string& unavailable() const { return problem_; }

    // The session's assistive-technology switch, as the desktop's settings would set it. On, the
    // accessibility bus is started at once, as a desktop's autostart does at login: its launcher
    // then publishes the bus on the X root window, the only way Qt 5 programs join it reliably.
    bool switchAssistiveTechnologies(bool on) {
        DesktopChild send({busSendProgram, "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                           "org.freedesktop.DBus.Properties.Set", "string:org.a11y.Status", "string:IsEnabled",
                           std::string("variant:boolean:") + (on ? "true" : "false")},
                          environment_);
        if (!send.waitForLine("method return")) return false;
        if (!on) return true;
        DesktopChild start({busSendProgram, "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                            "org.a11y.Bus.GetAddress"},
                           environment_);
        return start.waitForLine("method return").has_value();
    }
    // The compositor goes away, as when a Wayland session ends under its programs.
    void stopCompositor() { compositor_ = DesktopChild{}; }

    std::optional<bool> assistiveTechnologiesOn() {
        DesktopChild get({busSendProgram, "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                          "org.freedesktop.DBus.Properties.Get", "string:org.a11y.Status", "string:IsEnabled"},
                         environment_);
        auto line = get.waitForLine("   variant");
        if (!line) return std::nullopt;
        return line->find("true") != std::string::npos;
    }

    // The process that holds a name on the session bus.
    std::optional<pid_t> ownerOf(const std::string& name) {
        DesktopChild ask({busSendProgram, "--session", "--print-reply", "--dest=org.freedesktop.DBus",
                          "/org/freedesktop/DBus", "org.freedesktop.DBus.GetConnectionUnixProcessID", "string:" + name},
                         environment_);
        auto line = ask.waitForLine("   uint32 ");
        if (!line) return std::nullopt;
        return static_cast<pid_t>(std::stol(line->substr(line->rfind(' ') + 1)));
    }

    // A test application on this desktop, visible on its accessibility bus.
    DesktopChild launch(const std::vector<std::string>& argv) {
        ChildEnvironment environment = environment_;
        environment.emplace_back("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
        environment.emplace_back("GTK_MODULES", "gail:atk-bridge");
        return DesktopChild(argv, environment);
    }

private:
    bool startXServer() {
        int display[2];
        if (::pipe2(display, O_CLOEXEC) != 0) return fail("no pipe for the X server's display number");
        xServer_ = DesktopChild({xServerProgram, "-displayfd", std::to_string(display[1]), "-noreset", "-nolisten",
                                 "tcp", "-screen", "0", screenGeometry},
                                {}, display[1]);
        ::close(display[1]);
        std::string number;
        pollfd ready{display[0], POLLIN, 0};
        char c;
        while (::poll(&ready, 1, 10000) > 0 && ::read(display[0], &c, 1) == 1 && c != '\n') number.push_back(c);
        ::close(display[0]);
        if (number.empty()) return fail("Xvfb did not start");
        environment_.emplace_back("DISPLAY", ":" + number);
        return true;
    }

    // Weston's headless back end: native Wayland programs, no seat, no X server.
    bool startCompositor() {
        if (::access(compositorProgram, X_OK) != 0) return fail("no Wayland compositor (weston) installed");
        compositor_ = DesktopChild({compositorProgram, "--backend=headless-backend.so", "--socket=" + std::string(compositorSocket),
                                    "--width=1280", "--height=1024", "--idle-time=0"},
                                   environment_);
        const auto deadline = std::chrono::steady_clock::now() + compositorStartLimit;
        while (::access((runtime_.path() / compositorSocket).c_str(), F_OK) != 0) {
            if (std::chrono::steady_clock::now() >= deadline) return fail("weston's headless back end did not start");
            ::usleep(std::chrono::microseconds(compositorStartPoll).count());
        }
        environment_.emplace_back("WAYLAND_DISPLAY", compositorSocket);
        environment_.emplace_back("GDK_BACKEND", "wayland");
        environment_.emplace_back("QT_QPA_PLATFORM", "wayland");
        return true;
    }

    bool startSessionBus() {
        bus_ = DesktopChild({sessionBusProgram, "--session", "--nofork", "--print-address=1"}, environment_);
        auto address = bus_.waitForLine("unix:", std::chrono::seconds(10));
        if (!address) return fail("no session bus started");
        environment_.emplace_back("DBUS_SESSION_BUS_ADDRESS", *address);
        return true;
    }

    bool fail(std::string why) {
        problem_ = std::move(why);
        return false;
    }

    TempDir runtime_;
    ChildEnvironment environment_;
    std::string problem_;
    DesktopChild xServer_, compositor_, bus_;
};

}  // namespace companion::testing
