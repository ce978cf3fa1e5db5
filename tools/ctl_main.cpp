// tavro-companion-ctl: talk to the agent from a shell. Every line on stdout is one JSON object.

#include <chrono>
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

int callAgent(const std::string& socketPath, double linger, const std::vector<std::string>& words) {
    if (words.empty()) return usageError("call needs a selector");
    const auto* message = service::findServiceMessage(words.front());
    if (!message) return usageError("unknown selector " + words.front());
    auto arguments = client::argumentsFromJsonTexts(*message, {words.begin() + 1, words.end()});
    if (auto* error = std::get_if<std::string>(&arguments)) return usageError(*error);

    auto onCallback = [](const std::string& selector, const Json& args) {
        printLine({{"callback", selector}, {"args", Line(client::jsonFromWire(args))}});
    };
    auto connected = client::ClientConnection::connect(socketPath, onCallback);
    if (auto* error = std::get_if<std::string>(&connected)) {
        std::cerr << "tavro-companion-ctl: no agent: " << *error << '\n';
        return exitNoReply;
    }
    auto& connection = *std::get<std::unique_ptr<client::ClientConnection>>(connected);
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
    if (linger > 0) std::this_thread::sleep_for(std::chrono::duration<double>(linger));
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Talks to the Tavro Files Companion agent."};
    app.set_version_flag("--version", versionLine);
    app.require_subcommand(1);
    std::string socketPath = ipc::endpointPath(std::string(machServiceName));
    double linger = 0;
    app.add_option("--socket", socketPath, "the agent's socket");
    app.add_option("--linger", linger, "seconds to stay connected after the reply, printing callbacks")
        ->check(CLI::NonNegativeNumber);
    auto* describe = app.add_subcommand("describe", "every message and callback with its types");
    auto* call = app.add_subcommand("call", "send one message: call SELECTOR [ARG ...], each ARG one JSON value");
    // Everything after "call" is the selector and its arguments, "-1" included.
    call->prefix_command();
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
    return callAgent(socketPath, linger, call->remaining());
}
