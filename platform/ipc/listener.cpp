#include "platform/ipc/listener.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <future>
#include <unordered_map>

#include "platform/ipc/peer.h"
#include "platform/log/log.h"

namespace companion::ipc {

namespace {

constexpr const char* connectionQueueLabel = "companion.connection";
// Connections accepted per readiness report of the listening socket: a flood of new clients
// yields the loop to the others after this many.
constexpr int acceptsPerTurn = 64;
// Once a burst of large requests is over, the freed memory goes back to the system after this.
constexpr auto trimDelay = std::chrono::seconds(1);

bool isTemporaryAcceptFailure(int error) { return error == EINTR || error == ECONNABORTED || error == EPROTO; }
bool isOutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

// The listener's side on the loop: the listening socket, the table of live connections, and
// what they share (the limits, the byte budget, one read buffer).
class ListenerCore : public std::enable_shared_from_this<ListenerCore> {
public:
    ListenerCore(int listening, dispatch::Dispatcher& dispatcher)
        : loop(dispatcher.loop()),
          budget(std::make_shared<ByteBudget>(loop)),
          listening_(listening),
          dispatcher_(dispatcher) {
        budget->setLimit(limits.agentBudget);
    }

    const std::shared_ptr<dispatch::EventLoop> loop;
    ConnectionLimits limits;
    Admission admission;
    const std::shared_ptr<ByteBudget> budget;
    Listener::Delegate delegate;

    // ---- loop thread ----
    void startAccepting() {
        budget->whenDrainedAfterBurst([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->scheduleTrim();
        });
        takeReserve();
        listenWatch_ = loop->watch(listening_, dispatch::Interest::read, [this](dispatch::Readiness) { acceptWaiting(); });
    }
    // The loop outlives the listener: nothing of the core may stay registered on it.
    void close() {
        closed_ = true;
        unidentified_.clear();
        listenWatch_.reset();
        acceptRetry_.cancel();
        trim_.cancel();
    }
    // Ends every connection; returns them, so the caller can wait for their clean-up.
    std::vector<std::shared_ptr<ServerConnection>> endAll() {
        // Copied before ending them: ending removes each from the table.
        std::vector<std::shared_ptr<ServerConnection>> live;
        for (auto& [raw, connection] : connections_) live.push_back(connection);
        for (auto& connection : live) connection->end();
        return live;
    }

    // ---- any thread ----
    size_t connectionCount() const { return connectionCount_; }

private:
    void acceptWaiting() {
        for (int i = 0; i < acceptsPerTurn && !acceptPaused_; ++i) {
            UniqueFd socket(::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (socket) {
                admit(std::move(socket));
                continue;
            }
            const int error = errno;
            if (isTemporaryAcceptFailure(error)) continue;
            if (isOutOfDescriptors(error)) return pauseAccepting();
            if (error != EAGAIN && error != EWOULDBLOCK)
                log::warn(log::Kind::loopError, std::string("accepting a connection failed: ") + std::strerror(error));
            return;  // the backlog is empty
        }
    }

    // Out of descriptors, retrying at once would spin: the listening socket stays readable while
    // clients wait. Accepting resumes when a connection closes, or after a while in case
    // descriptors came free elsewhere. Meanwhile the reserve is given back, so the agent itself
    // is never left without a descriptor (to end a connection, to run a tool, for its runtime).
    void pauseAccepting() {
        if (!acceptPaused_) log::warn(log::Kind::loopError, "out of descriptors: new connections wait until some are free");
        acceptPaused_ = true;
        reserve_ = {};
        listenWatch_.setInterest(dispatch::Interest::none);
        acceptRetry_ = loop->after(limits.acceptRetryDelay, [this] { resumeAccepting(); });
    }
    void resumeAccepting() {
        acceptRetry_.cancel();
        if (!admitUnidentified() || !takeReserve()) {
            acceptRetry_ = loop->after(limits.acceptRetryDelay, [this] { resumeAccepting(); });
            return;
        }
        acceptPaused_ = false;
        listenWatch_.setInterest(dispatch::Interest::read);
    }
    bool takeReserve() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return false;
        reserve_ = {UniqueFd(ends[0]), UniqueFd(ends[1])};
        return true;
    }

    // Admits the connections that were accepted but could not be looked at for want of
    // descriptors; false while that is still so.
    bool admitUnidentified() {
        while (!unidentified_.empty()) {
            UniqueFd socket = std::move(unidentified_.front());
            unidentified_.pop_front();
            if (!admit(std::move(socket))) return false;
        }
        return true;
    }

    // False when the peer could not be looked at for want of descriptors: its socket then waits
    // for descriptors to come free, at the head of the line.
    bool admit(UniqueFd socket) {
        loop->assertConfined();
        // Anyone but the agent's own user, or a sandboxed application other than the host, is
        // closed before a byte is read.
        Peer peer = identifyPeer(socket.get(), admission);
        if (peer.outOfDescriptors) {
            // Looking at the peer takes a descriptor or two: the reserve is given back for it,
            // and accepting waits, as when accepting itself finds none.
            pauseAccepting();
            peer = identifyPeer(socket.get(), admission);
        }
        if (peer.outOfDescriptors) {
            unidentified_.push_front(std::move(socket));
            return false;
        }
        if (!peer.admitted()) {
            log::warn(log::Kind::connectionRefused, "refused a connection (" + peer.description() + "): " + peer.refusal);
            return true;
        }
        auto connection = std::make_shared<ServerConnection>(
            std::move(socket), dispatcher_.makeSerialQueue(connectionQueueLabel), hostForConnections());
        connection->setPeerDescription(peer.description());
        connections_.emplace(connection.get(), connection);
        connectionCount_ = connections_.size();
        if (!delegate || !delegate(connection)) connection->end();
        return true;
    }

    ConnectionHost hostForConnections() {
        auto ended = [weak = weak_from_this()](ServerConnection* connection) {
            if (auto self = weak.lock()) self->connectionEnded(connection);
        };
        return {loop, limits, budget, readBuffer_, std::move(ended)};
    }

    void connectionEnded(ServerConnection* connection) {
        loop->assertConfined();
        auto node = connections_.extract(connection);
        if (node) loop->releaseAtEndOfPass(std::move(node.mapped()));
        connectionCount_ = connections_.size();
        // A descriptor came free: clients waiting in the backlog can be taken now.
        if (acceptPaused_) resumeAccepting();
    }

    void scheduleTrim() {
        if (closed_ || trim_.armed()) return;
        // Trimming a large heap takes a while: not on the loop, which serves everyone.
        trim_ = loop->after(trimDelay, [&dispatcher = dispatcher_] { dispatcher.global().async([] { ::malloc_trim(0); }); });
    }

    int listening_;
    dispatch::Dispatcher& dispatcher_;
    dispatch::EventLoop::Watch listenWatch_;
    dispatch::EventLoop::Deadline acceptRetry_;
    dispatch::EventLoop::Deadline trim_;
    bool acceptPaused_ = false;
    bool closed_ = false;
    // Descriptors held back while accepting, given back when they run out.
    std::array<UniqueFd, 2> reserve_;
    std::shared_ptr<std::string> readBuffer_ = std::make_shared<std::string>();
    std::unordered_map<ServerConnection*, std::shared_ptr<ServerConnection>> connections_;
    std::deque<UniqueFd> unidentified_;
    std::atomic<size_t> connectionCount_{0};
};

// ---- Listener ----

std::variant<std::unique_ptr<Listener>, std::string> Listener::create(const std::string& socketPath,
                                                                      dispatch::Dispatcher& dispatcher) {
    auto bound = bindEndpoint(socketPath);
    if (auto* error = std::get_if<std::string>(&bound)) return *error;
    return std::make_unique<Listener>(Bound{std::move(std::get<BoundEndpoint>(bound))}, dispatcher);
}

std::unique_ptr<Listener> Listener::adopt(UniqueFd listening, dispatch::Dispatcher& dispatcher) {
    // No lock and no path: the socket's file belongs to whoever bound it.
    return std::make_unique<Listener>(Bound{BoundEndpoint{std::move(listening), UniqueFd(), ""}}, dispatcher);
}

Listener::Listener(Bound bound, dispatch::Dispatcher& dispatcher)
    : endpoint_(std::move(bound.endpoint)), core_(std::make_shared<ListenerCore>(endpoint_.socket.get(), dispatcher)) {
    setNonBlocking(endpoint_.socket.get());
}

Listener::~Listener() { stop(); }

void Listener::setDelegate(Delegate delegate) { core_->delegate = std::move(delegate); }
void Listener::setAdmission(Admission admission) { core_->admission = std::move(admission); }
void Listener::setLimits(const ConnectionLimits& limits) {
    core_->limits = limits;
    core_->budget->setLimit(limits.agentBudget);
}

void Listener::resume() {
    core_->loop->post([core = core_] { core->startAccepting(); });
}

void Listener::stop() {
    if (stopped_) return;
    stopped_ = true;
    std::vector<std::shared_ptr<ServerConnection>> ended;
    auto closeAll = [&ended, core = core_] {
        core->close();
        ended = core->endAll();
    };
    std::promise<void> closed;
    if (!core_->loop->post([&] { closeAll(); closed.set_value(); })) {
        // The dispatcher has gone, loop and queues with it: the listener is closed right here,
        // and nobody is left to run the connections' clean-up or to wait for it.
        closeAll();
        return;
    }
    closed.get_future().wait();
    for (auto& connection : ended) connection->waitUntilFinished();
}

size_t Listener::connectionCount() const { return core_->connectionCount(); }
size_t Listener::heldBytes() const { return core_->budget->held(); }

}  // namespace companion::ipc
