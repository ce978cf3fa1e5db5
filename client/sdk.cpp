// The public client library over the in-tree client: JSON text in and out, so that its interface
// carries no type of ours and no JSON library.

#include <tavro-companion/client.h>

#include "client/companion_client.h"
#include "client/json_bridge.h"
#include "platform/ipc/endpoint.h"
#include "service/identity.h"

namespace tavro_companion {

namespace {

using companion::client::ClientConnection;
using Json = nlohmann::json;

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

ClientConnection::CallbackHandler callbackHandler(const ClientHandlers& handlers) {
    companion::service::CompanionClient client;
    client.syncOutput = handlers.syncOutput;
    client.rcloneMountEnded = handlers.rcloneMountEnded;
    return companion::client::typedCallbacks(std::move(client));
}

// The wire arguments of `selector`, checked against the protocol table.
std::optional<Json> wireArguments(const std::string& selector, bool oneWay, const std::string& argumentsJson,
                                  std::string* error) {
    const auto* message = companion::service::findServiceMessage(selector);
    if (!message) return fail(error, "unknown selector " + selector), std::nullopt;
    if (message->oneWay != oneWay)
        return fail(error, selector + (oneWay ? " has a reply: call it" : " is one-way: send it")), std::nullopt;
    Json values = Json::parse(argumentsJson, nullptr, false);
    if (values.is_discarded()) return fail(error, "the arguments are not JSON"), std::nullopt;
    auto arguments = companion::client::argumentsFromJson(*message, values);
    if (auto* problem = std::get_if<std::string>(&arguments)) return fail(error, *problem), std::nullopt;
    return std::get<Json>(std::move(arguments));
}

}  // namespace

struct Connection::State {
    std::unique_ptr<ClientConnection> connection;
};

const char* libraryVersion() { return COMPANION_VERSION; }

std::string defaultSocketPath() { return companion::ipc::endpointPath(std::string(companion::machServiceName)); }

Connection::Connection(std::unique_ptr<State> state) : state_(std::move(state)) {}
Connection::~Connection() = default;

std::unique_ptr<Connection> Connection::open(const std::string& socketPath, ClientHandlers handlers,
                                             std::string* error) {
    auto invalidated = handlers.invalidated;
    auto connected = ClientConnection::connect(socketPath, callbackHandler(handlers), std::move(invalidated));
    if (auto* problem = std::get_if<std::string>(&connected)) return fail(error, *problem), nullptr;
    auto state = std::make_unique<State>();
    state->connection = std::move(std::get<std::unique_ptr<ClientConnection>>(connected));
    if (!state->connection->waitForGreeting()) return fail(error, "the agent did not greet"), nullptr;
    return std::unique_ptr<Connection>(new Connection(std::move(state)));
}

bool Connection::call(const std::string& selector, const std::string& argumentsJson, ReplyHandler done,
                      std::string* error) {
    auto arguments = wireArguments(selector, false, argumentsJson, error);
    if (!arguments) return false;
    bool sent = state_->connection->call(selector, std::move(*arguments), [done = std::move(done)](std::optional<Json> values) {
        if (!done) return;
        if (!values) return done(std::nullopt);
        done(companion::client::jsonFromWire(*values).dump(-1, ' ', false, Json::error_handler_t::replace));
    });
    return sent || fail(error, "the connection has ended");
}

std::optional<std::string> Connection::callAndWait(const std::string& selector, const std::string& argumentsJson,
                                                   std::string* error) {
    auto arguments = wireArguments(selector, false, argumentsJson, error);
    if (!arguments) return std::nullopt;
    auto values = state_->connection->callAndWait(selector, std::move(*arguments));
    if (!values) return fail(error, "the connection ended before the reply"), std::nullopt;
    return companion::client::jsonFromWire(*values).dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool Connection::send(const std::string& selector, const std::string& argumentsJson, std::string* error) {
    auto arguments = wireArguments(selector, true, argumentsJson, error);
    if (!arguments) return false;
    return state_->connection->sendOneWay(selector, std::move(*arguments)) || fail(error, "the connection has ended");
}

std::optional<std::string> Connection::agentVersion() {
    auto greeting = state_->connection->call<companion::service::msg::helloWithReply>({});
    if (!greeting) return std::nullopt;
    return std::get<1>(*greeting);
}

bool Connection::isValid() const { return state_->connection->isValid(); }

void Connection::close() { state_->connection->close(); }

}  // namespace tavro_companion
