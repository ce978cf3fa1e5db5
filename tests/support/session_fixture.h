#pragma once
// An in-process session with platform doubles: the harness for handler tests.
//
//   SessionHarness h;                       // temp home, stand-in friendly tool table
//   h.platform.tools.ssh = "/path/to/stand-in";
//   auto [home] = h.call<msg::sshHomeWithHost>({"host", "", 0, ""});
//   h.connection->callbacks()               // the one-way callbacks the session sent

#include <chrono>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/session.h"
#include "platform/ipc/wire.h"

namespace companion::testing {

// Records the callbacks a session sends to its client.
class RecordingConnection final : public ipc::Connection {
public:
    struct Callback {
        std::string selector;
        nlohmann::json arguments;
    };
    void sendOneWay(std::string_view selector, nlohmann::json arguments) override {
        std::lock_guard lock(mutex_);
        callbacks_.push_back({std::string(selector), std::move(arguments)});
    }
    void sendFrames(const std::string& frames) override {
        ipc::FrameReader reader(UINT32_MAX);
        reader.append(frames.data(), frames.size());
        std::string payload;
        while (reader.next(payload) == ipc::FrameReader::Status::frame) {
            auto message = ipc::decodeMessage(payload);
            if (auto* oneWay = message ? std::get_if<ipc::OneWay>(&*message) : nullptr)
                sendOneWay(oneWay->selector, oneWay->arguments);
        }
    }
    bool isBehind() const override { return false; }
    void whenCaughtUp(std::function<void()> ready) override { ready(); }
    std::vector<Callback> callbacks() const {
        std::lock_guard lock(mutex_);
        return callbacks_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<Callback> callbacks_;
};

// A fresh temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "companion-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// A child that runs until it is ended: what a sync or a mount holds in a session's tables.
inline std::shared_ptr<process::SharedProcess> sleepingProcess() {
    return std::make_shared<process::SharedProcess>(
        std::move(std::get<process::Process>(process::Process::launch({"/bin/sleep", {"1000"}}))));
}

struct SessionHarness {
    // A short idle lifetime lets a test see the pool go back to idle.
    explicit SessionHarness(dispatch::Clock::duration idleLifetime = dispatch::Dispatcher::defaultIdleLifetime)
        : dispatcher(idleLifetime) {
        platform = Platform::system(dispatcher);
        platform.homeDirectory = [home = home.str()] { return home; };
        platform.exitProcess = [](int) {};
        installCoreServices(services);
    }

    // Work submitted by a handler holds its session until the closure is destroyed, which may be
    // just after the reply; the dispatcher must outlive that last release, so the harness waits
    // for it (boundedly: a test that leaves work running has failed already).
    ~SessionHarness() {
        const std::weak_ptr<CompanionSession> session = session_;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (session.use_count() > 1 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    // Creates the session on first use, so a test may adjust `platform` and `services` first.
    CompanionSession& session() {
        if (!session_) session_ = std::make_shared<CompanionSession>(connection, platform, services);
        return *session_;
    }

    // Sends one call as the connection would and waits for its reply.
    template <class M>
    typename M::Replies::Tuple call(service::Args<M> arguments,
                                    std::chrono::seconds limit = std::chrono::seconds(60)) {
        auto promise = std::make_shared<std::promise<nlohmann::json>>();
        auto future = promise->get_future();
        const auto accepted = session().handle(M::selector, false, M::Args::encode(arguments),
                                               [promise](nlohmann::json values) { promise->set_value(std::move(values)); });
        if (!accepted) throw std::runtime_error("the session refused the message");
        if (future.wait_for(limit) != std::future_status::ready) throw std::runtime_error("no reply");
        return *M::Replies::decode(future.get());
    }

    template <class M>
    void send(service::Args<M> arguments) {
        if (!session().handle(M::selector, true, M::Args::encode(arguments), nullptr))
            throw std::runtime_error("the session refused the message");
    }

    TempDir home;
    dispatch::Dispatcher dispatcher;
    Platform platform;
    Services services;
    std::shared_ptr<RecordingConnection> connection = std::make_shared<RecordingConnection>();

private:
    std::shared_ptr<CompanionSession> session_;
};

}  // namespace companion::testing
