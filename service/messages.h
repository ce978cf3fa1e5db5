#pragma once
// The message types, reply handles and handler tables generated from the protocol table.

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>

#include "service/protocol.h"

#define COMPANION_UNPAREN(...) __VA_ARGS__

namespace companion::service {

using wire::Value;

// An ordered list of wire types: the arguments of a message, or the values of its reply.
template <class... Tags>
struct List {
    using Tuple = std::tuple<typename Tags::type...>;
    static constexpr size_t size = sizeof...(Tags);
    static constexpr std::array<std::string_view, sizeof...(Tags)> names{Tags::name...};

    // Nothing unless `array` is an array of exactly these types.
    static std::optional<Tuple> decode(const Value& array) {
        if (!array.is_array() || array.size() != size) return std::nullopt;
        return decodeAt(array, std::index_sequence_for<Tags...>{});
    }
    // Where a list that `decode` refused goes wrong: the first element of the wrong type, the
    // first missing one, or the first one too many.
    static size_t firstMisfit(const Value& array) {
        if (!array.is_array()) return 0;
        const std::array<bool, size> fits = fitsAt(array, std::index_sequence_for<Tags...>{});
        for (size_t i = 0; i < size; ++i)
            if (!fits[i]) return i;
        return size;
    }
    static Value encode(const Tuple& values) {
        return std::apply([](const auto&... v) { return Value::array({Tags::encode(v)...}); }, values);
    }

private:
    template <size_t... I>
    static std::optional<Tuple> decodeAt(const Value& array, std::index_sequence<I...>) {
        std::tuple<std::optional<typename Tags::type>...> parts{Tags::decode(array[I])...};
        if (!(std::get<I>(parts).has_value() && ...)) return std::nullopt;
        return Tuple{std::move(*std::get<I>(parts))...};
    }
    template <size_t... I>
    static std::array<bool, size> fitsAt(const Value& array, std::index_sequence<I...>) {
        return {(I < array.size() && Tags::decode(array[I]).has_value())...};
    }
};
template <>
struct List<> {
    using Tuple = std::tuple<>;
    static constexpr size_t size = 0;
    static constexpr std::array<std::string_view, 0> names{};
    static std::optional<Tuple> decode(const Value& array) {
        if (!array.is_array() || !array.empty()) return std::nullopt;
        return Tuple{};
    }
    static size_t firstMisfit(const Value&) { return 0; }
    static Value encode(const Tuple&) { return Value::array(); }
};

// Prints the fault and aborts: a reply handle used against its contract is a bug in this
// program, never something a client can cause.
[[noreturn]] inline void replyContractViolated(std::string_view selector, const char* what) {
    std::fprintf(stderr, "tavro-companion: reply of %.*s %s\n", static_cast<int>(selector.size()),
                 selector.data(), what);
    std::abort();
}

// Where an encoded reply goes (the connection, or a test).
using ReplySink = std::function<void(Value values)>;

// The reply block of one request. Copies share one state: the reply is sent exactly once, and
// the last copy to go checks that it was.
template <class M>
class Reply {
public:
    using Tuple = typename M::Replies::Tuple;

    explicit Reply(ReplySink sink) : state_(std::make_shared<State>(std::move(sink))) {}

    void operator()(Tuple values) const {
        if (state_->sent.exchange(true)) replyContractViolated(M::selector, "sent twice");
        auto sink = std::move(state_->sink);
        sink(M::Replies::encode(values));
    }
    template <class... V>
        requires(sizeof...(V) == M::Replies::size && sizeof...(V) != 1)
    void operator()(V&&... values) const {
        (*this)(Tuple{std::forward<V>(values)...});
    }
    template <class V>
        requires(M::Replies::size == 1 && !std::is_same_v<std::decay_t<V>, Tuple>)
    void operator()(V&& value) const {
        (*this)(Tuple{std::forward<V>(value)});
    }
    // Answers with the message's refused form.
    void refuse() const { (*this)(M::refused()); }
    // False once moved from: the answer is someone else's to send.
    explicit operator bool() const { return state_ != nullptr; }

private:
    struct State {
        explicit State(ReplySink s) : sink(std::move(s)) {}
        ~State() {
            if (!sent.load()) replyContractViolated(M::selector, "dropped without being sent");
        }
        ReplySink sink;
        std::atomic<bool> sent{false};
    };
    std::shared_ptr<State> state_;
};

namespace msg {
#define COMPANION_DECLARE_CALL(method, sel, args, replies, refusedValues)         \
    struct method {                                                                \
        static constexpr std::string_view selector = sel;                          \
        static constexpr bool oneWay = false;                                      \
        using Args = List<COMPANION_UNPAREN args>;                                 \
        using Replies = List<COMPANION_UNPAREN replies>;                           \
        static typename Replies::Tuple refused() {                                 \
            return typename Replies::Tuple{COMPANION_UNPAREN refusedValues};       \
        }                                                                          \
    };
#define COMPANION_DECLARE_ONEWAY(method, sel, args) \
    struct method {                                  \
        static constexpr std::string_view selector = sel; \
        static constexpr bool oneWay = true;         \
        using Args = List<COMPANION_UNPAREN args>;   \
        using Replies = List<>;                      \
    };
using namespace wire;
COMPANION_SERVICE_MESSAGES(COMPANION_DECLARE_CALL, COMPANION_DECLARE_ONEWAY)
COMPANION_CLIENT_MESSAGES(COMPANION_DECLARE_ONEWAY)
#undef COMPANION_DECLARE_CALL
#undef COMPANION_DECLARE_ONEWAY
}  // namespace msg

template <class M>
using Args = typename M::Args::Tuple;

// The handler of one message for a session type: calls get their reply handle, one-way
// messages none.
template <class Session, class M>
using Handler = std::conditional_t<M::oneWay, void (*)(Session&, Args<M>),
                                   void (*)(Session&, Args<M>, Reply<M>)>;

// The typed service interface: one slot per message, filled by the subsystem that owns it.
// An empty slot answers with the message's refused form.
template <class Session>
struct CompanionService {
#define COMPANION_SLOT(method, ...) Handler<Session, msg::method> method = nullptr;
    COMPANION_SERVICE_MESSAGES(COMPANION_SLOT, COMPANION_SLOT)
#undef COMPANION_SLOT
};

// What the table says of one message, for checking frames and for `describe`.
struct MessageInfo {
    std::string_view selector;
    bool oneWay;
    std::span<const std::string_view> arguments;
    std::span<const std::string_view> replies;
};

#define COMPANION_INFO(method, ...) \
    MessageInfo{msg::method::selector, msg::method::oneWay, msg::method::Args::names, msg::method::Replies::names},
inline constexpr MessageInfo serviceMessages[] = {COMPANION_SERVICE_MESSAGES(COMPANION_INFO, COMPANION_INFO)};
inline constexpr MessageInfo clientMessages[] = {COMPANION_CLIENT_MESSAGES(COMPANION_INFO)};
#undef COMPANION_INFO

const MessageInfo* findServiceMessage(std::string_view selector);
const MessageInfo* findClientMessage(std::string_view selector);

// The rules by which a well-formed message is refused; the connection ends with the first.
enum class Refusal { none, unknownSelector, wrongKind, badArgument };

// What became of one incoming message: accepted (true), or the rule it broke.
struct Verdict {
    Refusal refusal = Refusal::none;
    // With `badArgument`: the first position that does not fit (see `List::firstMisfit`).
    size_t argument = 0;
    explicit operator bool() const { return refusal == Refusal::none; }
    bool operator==(const Verdict&) const = default;
};

template <class M>
Verdict argumentsMisfit(const Value& arguments) {
    return {Refusal::badArgument, M::Args::firstMisfit(arguments)};
}

// Decodes the arguments of one service message and hands them to its slot. Refused when the
// selector is unknown, the kind (call or one-way) is wrong or the arguments do not fit: the
// caller then drops the connection. `sink` is used for calls only.
template <class Session>
Verdict dispatch(const CompanionService<Session>& service, Session& session, std::string_view selector,
                 bool oneWay, const Value& arguments, ReplySink sink) {
    auto route = [&]<class M>(M*, auto handler) -> Verdict {
        if (oneWay != M::oneWay) return {Refusal::wrongKind};
        auto args = M::Args::decode(arguments);
        if (!args) return argumentsMisfit<M>(arguments);
        if constexpr (M::oneWay) {
            if (handler) handler(session, std::move(*args));
        } else {
            Reply<M> reply(std::move(sink));
            if (handler)
                handler(session, std::move(*args), std::move(reply));
            else
                reply.refuse();
        }
        return {};
    };
#define COMPANION_ROUTE(method, ...) \
    if (selector == msg::method::selector) return route(static_cast<msg::method*>(nullptr), service.method);
    COMPANION_SERVICE_MESSAGES(COMPANION_ROUTE, COMPANION_ROUTE)
#undef COMPANION_ROUTE
    return {Refusal::unknownSelector};
}

template <class Tuple>
struct CallbackSlot;
template <class... T>
struct CallbackSlot<std::tuple<T...>> {
    using type = std::function<void(T...)>;
};
// The slot of one callback in the client direction: a function of its decoded arguments.
template <class M>
using Callback = typename CallbackSlot<Args<M>>::type;

// The one-way callbacks a client receives, decoded: one slot per message of the client list.
struct CompanionClient {
#define COMPANION_CLIENT_SLOT(method, ...) Callback<msg::method> method;
    COMPANION_CLIENT_MESSAGES(COMPANION_CLIENT_SLOT)
#undef COMPANION_CLIENT_SLOT
};

// Decodes one callback and hands it to its slot; an empty slot ignores it. Refused when the
// selector is not in the client list or the arguments do not fit.
inline Verdict dispatchCallback(const CompanionClient& client, std::string_view selector, const Value& arguments) {
    auto route = [&]<class M>(M*, const Callback<M>& slot) -> Verdict {
        auto args = M::Args::decode(arguments);
        if (!args) return argumentsMisfit<M>(arguments);
        if (slot) std::apply(slot, std::move(*args));
        return {};
    };
#define COMPANION_CALLBACK_ROUTE(method, ...) \
    if (selector == msg::method::selector) return route(static_cast<msg::method*>(nullptr), client.method);
    COMPANION_CLIENT_MESSAGES(COMPANION_CALLBACK_ROUTE)
#undef COMPANION_CALLBACK_ROUTE
    return {Refusal::unknownSelector};
}

}  // namespace companion::service
