// tavro-companion-ctl: talk to the agent from a shell. Every line on stdout is one JSON object.

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <thread>

#include <CLI/CLI.hpp>

#include "client/companion_client.h"
#include "client/json_bridge.h"
#include "platform/ipc/endpoint.h"
#include "service/identity.h"

namespace {

using namespace companion;
using Json = nlohmann::json;

constexpr int exitReplied = 0;
constexpr int exitNoReply = 1;
constexpr int exitUsage = 2;
constexpr char commentMark = '#';
constexpr const char* versionLine = "tavro-companion-ctl " COMPANION_VERSION;

// Callbacks arrive on the reader thread while the main thread prints the reply.
std::mutex outputMutex;

// Keys in the order written: "callback" before "args".
using Line = nlohmann::ordered_json;

void printLine(const Line& object) {
    std::lock_guard lock(outputMutex);
    std::cout << object.dump(-1, ' ', false, Line::error_handler_t::replace) << '\n' << std::flush;
}

int usageError(const std::string& reason) {
    std::cerr << "tavro-companion-ctl: " << reason << '\n';
    return exitUsage;
}

void describeAll() {
    for (const auto& message : service::serviceMessages)
        std::cout << (message.oneWay ? "oneway   " : "call     ") << client::describe(message) << '\n';
    for (const auto& message : service::clientMessages) std::cout << "callback " << client::describe(message) << '\n';
}

void printCallback(const std::string& selector, const Json& args) {
    printLine({{"callback", selector}, {"args", Line(client::jsonFromWire(args))}});
}

using Connected = std::unique_ptr<client::ClientConnection>;

// Nothing, said on stderr, when there is no agent.
Connected connectOrSay(const std::string& socketPath) {
    auto connected = client::ClientConnection::connect(socketPath, printCallback);
    if (auto* error = std::get_if<std::string>(&connected)) {
        std::cerr << "tavro-companion-ctl: no agent: " << *error << '\n';
        return nullptr;
    }
    return std::get<Connected>(std::move(connected));
}

void linger(double seconds) {
    if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

int callAgent(const std::string& socketPath, double lingerSeconds, const std::vector<std::string>& words) {
    if (words.empty()) return usageError("call needs a selector");
    const auto* message = service::findServiceMessage(words.front());
    if (!message) return usageError("unknown selector " + words.front());
    auto arguments = client::argumentsFromJsonTexts(*message, {words.begin() + 1, words.end()});
    if (auto* error = std::get_if<std::string>(&arguments)) return usageError(*error);

    auto connected = connectOrSay(socketPath);
    if (!connected) return exitNoReply;
    auto& connection = *connected;
    const std::string selector(message->selector);
    int status = exitReplied;
    if (message->oneWay) {
        if (connection.sendOneWay(selector, std::get<Json>(arguments)))
            printLine({{"sent", selector}});
        else
            status = exitNoReply;
    } else {
        auto values = connection.callAndWait(selector, std::get<Json>(arguments));
        if (values) {
            printLine({{"reply", Line(client::jsonFromWire(*values))}});
        } else {
            std::cerr << "tavro-companion-ctl: the connection ended before the reply\n";
            status = exitNoReply;
        }
    }
    linger(lingerSeconds);
    return status;
}

// One connection for a whole conversation: what belongs to a connection (stopping a mount or a
// sync by its id, the clean-up when it ends) can be reached from a shell.
class Session {
public:
    explicit Session(client::ClientConnection& connection) : connection_(connection) {}

    // False once the connection has ended: nothing more can be sent.
    bool send(int lineNumber, std::string_view text) {
        auto parsed = client::parseCallLine(text);
        if (auto* error = std::get_if<std::string>(&parsed)) return refuse(lineNumber, *error);
        auto& call = std::get<client::CallLine>(parsed);
        const auto* message = service::findServiceMessage(call.selector);
        if (!message) return refuse(lineNumber, "unknown selector " + call.selector);
        auto arguments = client::argumentsFromJson(*message, call.arguments);
        if (auto* error = std::get_if<std::string>(&arguments)) return refuse(lineNumber, *error);
        if (message->oneWay) {
            if (!connection_.sendOneWay(call.selector, std::get<Json>(arguments))) return ended(lineNumber);
            printLine({{"line", lineNumber}, {"sent", call.selector}});
            return true;
        }
        {
            std::lock_guard lock(mutex_);
            ++owed_;
        }
        bool sent = connection_.call(call.selector, std::get<Json>(arguments), [this, lineNumber](std::optional<Json> values) {
            if (values)
                printLine({{"line", lineNumber}, {"reply", Line(client::jsonFromWire(*values))}});
            else
                ended(lineNumber);
            std::lock_guard lock(mutex_);
            --owed_;
            answered_.notify_all();
        });
        if (sent) return true;
        std::lock_guard lock(mutex_);
        --owed_;
        return ended(lineNumber);
    }

    void waitForReplies() {
        std::unique_lock lock(mutex_);
        answered_.wait(lock, [&] { return owed_ == 0; });
    }

    int exitStatus() const {
        std::lock_guard lock(mutex_);
        if (lost_) return exitNoReply;
        return refused_ ? exitUsage : exitReplied;
    }

private:
    bool refuse(int lineNumber, const std::string& reason) {
        printLine({{"line", lineNumber}, {"error", reason}});
        std::lock_guard lock(mutex_);
        refused_ = true;
        return true;
    }
    bool ended(int lineNumber) {
        printLine({{"line", lineNumber}, {"error", "the connection ended before the reply"}});
        std::lock_guard lock(mutex_);
        lost_ = true;
        return false;
    }

    client::ClientConnection& connection_;
    mutable std::mutex mutex_;
    std::condition_variable answered_;
    int owed_ = 0;
    bool refused_ = false;
    bool lost_ = false;
};

bool isSkipped(std::string_view line) {
    auto first = line.find_first_not_of(" \t\r");
    return first == std::string_view::npos || line[first] == commentMark;
}

int holdSession(const std::string& socketPath, double lingerSeconds) {
    auto connected = connectOrSay(socketPath);
    if (!connected) return exitNoReply;
    Session session(*connected);
    std::string line;
    for (int number = 1; std::getline(std::cin, line); ++number) {
        if (isSkipped(line)) continue;
        if (!session.send(number, line)) break;
    }
    session.waitForReplies();
    linger(lingerSeconds);
    return session.exitStatus();
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Talks to the Tavro Files Companion agent."};
    app.set_version_flag("--version", versionLine);
    app.require_subcommand(1);
    std::string socketPath = ipc::endpointPath(std::string(machServiceName));
    double lingerSeconds = 0;
    app.add_option("--socket", socketPath, "the agent's socket");
    app.add_option("--linger", lingerSeconds, "seconds to stay connected after the reply, printing callbacks")
        ->check(CLI::NonNegativeNumber);
    auto* describe = app.add_subcommand("describe", "every message and callback with its types");
    auto* call = app.add_subcommand("call", "send one message: call SELECTOR [ARG ...], each ARG one JSON value");
    // Everything after "call" is the selector and its arguments, "-1" included.
    call->prefix_command();
    auto* session = app.add_subcommand(
        "session", "one connection; one call per line on stdin (SELECTOR ARG ... or a JSON array), until its end");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? 0 : exitUsage;
    }
    if (describe->parsed()) {
        describeAll();
        return 0;
    }
    if (session->parsed()) return holdSession(socketPath, lingerSeconds);
    return callAgent(socketPath, lingerSeconds, call->remaining());
}
