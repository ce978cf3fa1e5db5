#include "platform/ipc/listener.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <future>
#include <unordered_map>

namespace companion::ipc {

namespace {

constexpr const char* connectionQueueLabel = "companion.connection";
// Bytes taken from a socket per read, and reads per readiness report: a client that sends
// without pause yields the loop to the others after this much.
constexpr size_t readChunk = 64 * 1024;
constexpr int readsPerTurn = 4;
// Connections accepted per readiness report of the listening socket, for the same fairness.
constexpr int acceptsPerTurn = 64;
// What a waiting request costs beyond its bytes (the queued task, the string's header): counted
// so that a flood of tiny calls is bounded too.
constexpr size_t perRequestOverhead = 128;
// After requests holding more than this have all been handled, the freed memory is handed back
// to the system (the allocator would otherwise keep a burst's peak for ever), once the burst has
// been over for `trimDelay`.
constexpr size_t trimThreshold = 1u << 20;
constexpr auto trimDelay = std::chrono::seconds(1);
constexpr int largeBlockThreshold = 256 * 1024;

// Writes `bytes` from `sent` on until the socket takes no more; `sent` grows by what went.
// False when the peer is gone.
bool sendWithoutWaiting(int fd, const std::string& bytes, size_t& sent) {
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool isTemporaryAcceptFailure(int error) { return error == EINTR || error == ECONNABORTED || error == EPROTO; }
bool isOutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

}  // namespace

// What every connection of one listener shares: the loop, the limits, the agent-wide count of
// held bytes, and the table of live connections.
class ListenerCore : public std::enable_shared_from_this<ListenerCore> {
public:
    ListenerCore(int listening, dispatch::Dispatcher& dispatcher)
        : loop(dispatcher.loop()), listening_(listening), dispatcher_(dispatcher) {
        // Large requests come and go by the megabyte. By default the allocator raises its
        // threshold for mapping blocks of their own after the first is freed, and later ones
        // then stay in its heaps; a fixed threshold hands each back to the system when freed.
        ::mallopt(M_MMAP_THRESHOLD, largeBlockThreshold);
    }

    const std::shared_ptr<dispatch::EventLoop> loop;
    ConnectionLimits limits;
    std::string readBuffer = std::string(readChunk, '\0');  // loop thread only
    Listener::Delegate delegate;

    dispatch::Dispatcher& dispatcher() { return dispatcher_; }

    // ---- loop thread ----
    void startAccepting() {
        takeReserve();
        listenWatch_ = loop->watch(listening_, EPOLLIN, [this](uint32_t) { acceptWaiting(); });
    }
    // The loop outlives the listener: nothing of the core may stay registered on it.
    void close() {
        closed_ = true;
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
    void connectionEnded(ServerConnection* connection) {
        auto node = connections_.extract(connection);
        if (node) loop->releaseAtEndOfPass(std::move(node.mapped()));
        connectionCount_ = connections_.size();
        // A descriptor came free: clients waiting in the backlog can be taken now.
        if (acceptPaused_) resumeAccepting();
    }
    void holdForPressure(const std::shared_ptr<ServerConnection>& connection) {
        heldForPressure_.push_back(connection);
        pressureHeld_ = true;
    }

    // ---- any thread ----
    size_t connectionCount() const { return connectionCount_; }
    size_t heldBytes() const { return heldBytes_; }
    bool underPressure() const { return heldBytes_ >= limits.agentBudget; }
    void hold(size_t bytes) {
        const size_t now = heldBytes_ += bytes;
        if (now >= trimThreshold) largeBurst_ = true;
    }
    void release(size_t bytes) {
        const size_t now = heldBytes_ -= bytes;
        if (now < limits.agentBudget && pressureHeld_.exchange(false))
            loop->post([self = shared_from_this()] { self->releasePressure(); });
        if (now == 0 && largeBurst_.exchange(false))
            loop->post([self = shared_from_this()] { self->scheduleTrim(); });
    }

private:
    void acceptWaiting() {
        for (int i = 0; i < acceptsPerTurn; ++i) {
            UniqueFd socket(::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (socket) {
                admit(std::move(socket));
                continue;
            }
            if (isTemporaryAcceptFailure(errno)) continue;
            if (isOutOfDescriptors(errno)) pauseAccepting();
            return;  // EAGAIN: the backlog is empty
        }
    }

    // Out of descriptors, retrying at once would spin: the listening socket stays readable while
    // clients wait. Accepting resumes when a connection closes, or after a while in case
    // descriptors came free elsewhere. Meanwhile the reserve is given back, so the agent itself
    // is never left without a descriptor (to end a connection, to run a tool, for its runtime).
    void pauseAccepting() {
        acceptPaused_ = true;
        reserve_ = {};
        listenWatch_.setInterest(0);
        acceptRetry_ = loop->after(limits.acceptRetryDelay, [this] { resumeAccepting(); });
    }
    void resumeAccepting() {
        acceptRetry_.cancel();
        if (!takeReserve()) {
            acceptRetry_ = loop->after(limits.acceptRetryDelay, [this] { resumeAccepting(); });
            return;
        }
        acceptPaused_ = false;
        listenWatch_.setInterest(EPOLLIN);
    }
    bool takeReserve() {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return false;
        reserve_ = {UniqueFd(ends[0]), UniqueFd(ends[1])};
        return true;
    }

    void admit(UniqueFd socket) {
        // Only the agent's own user gets in; anyone else is closed before a byte is read.
        auto uid = peerUid(socket.get());
        if (!uid || *uid != ::geteuid()) return;
        auto connection = std::make_shared<ServerConnection>(std::move(socket), dispatcher_, shared_from_this());
        connections_.emplace(connection.get(), connection);
        connectionCount_ = connections_.size();
        if (!delegate || !delegate(connection)) connection->end();
    }

    void releasePressure() {
        auto held = std::move(heldForPressure_);
        heldForPressure_.clear();
        for (auto& weak : held)
            if (auto connection = weak.lock()) connection->updateInterest();
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
    std::unordered_map<ServerConnection*, std::shared_ptr<ServerConnection>> connections_;
    std::vector<std::weak_ptr<ServerConnection>> heldForPressure_;
    std::atomic<size_t> connectionCount_{0};
    std::atomic<size_t> heldBytes_{0};
    std::atomic<bool> pressureHeld_{false};
    std::atomic<bool> largeBurst_{false};
};

// ---- ServerConnection ----

ServerConnection::ServerConnection(UniqueFd socket, dispatch::Dispatcher& dispatcher, std::shared_ptr<ListenerCore> core)
    : core_(std::move(core)),
      queue_(dispatcher.makeSerialQueue(connectionQueueLabel)),
      socket_(std::move(socket)) {
    finished_.enter();
}

ServerConnection::~ServerConnection() = default;

void ServerConnection::setExportedHandler(ExportedHandler handler) { exported_ = std::move(handler); }
void ServerConnection::setInvalidationHandler(std::function<void()> handler) {
    invalidationHandler_ = std::move(handler);
}

void ServerConnection::resume() {
    send(Greeting{std::string(protocolName), protocolVersion});
    if (core_->loop->isCurrent())
        watchSocket();
    else
        core_->loop->post([self = shared_from_this()] { self->watchSocket(); });
}

void ServerConnection::invalidate() {
    if (invalidated_.exchange(true)) return;
    core_->loop->post([self = shared_from_this()] { self->end(); });
}

void ServerConnection::waitUntilFinished() { finished_.wait(); }

// ---- the loop's side ----

void ServerConnection::watchSocket() {
    if (ended_) return;
    reading_ = true;
    interest_ = EPOLLIN;
    watch_ = core_->loop->watch(socket_.get(), interest_, [this](uint32_t events) { onReady(events); });
    // Replies may have been queued before the socket was watched.
    updateInterest();
}

void ServerConnection::onReady(uint32_t events) {
    if (events & EPOLLOUT) flushOutbound();
    if (!ended_ && (events & EPOLLIN)) readAvailable();
    // A hang-up with reading held: nobody will read the rest, and nobody is there to answer.
    if (!ended_ && (events & (EPOLLHUP | EPOLLERR)) && !reading_) end();
}

void ServerConnection::readAvailable() {
    std::string& chunk = core_->readBuffer;
    for (int turn = 0; turn < readsPerTurn && !ended_ && wantsReading(); ++turn) {
        const ssize_t count = ::read(socket_.get(), chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno == EAGAIN) break;
        if (count <= 0) return end();
        reader_.append(chunk.data(), static_cast<size_t>(count));
        for (std::string payload;;) {
            const auto status = reader_.next(payload);
            if (status == FrameReader::Status::needMore) break;
            if (status == FrameReader::Status::tooLarge || !acceptFrame(std::move(payload))) {
                accountReader();
                return end();
            }
        }
        accountReader();
        // A short read emptied the socket; asking again would only hear "nothing more".
        if (static_cast<size_t>(count) < chunk.size()) break;
    }
    if (ended_) return;
    trackFrameDeadline();
    updateInterest();
}

// The greeting is checked here; every later frame goes to the connection's queue as bytes and
// is decoded there, so a large call costs the loop no decoding time and the budget counts
// exactly what is held.
bool ServerConnection::acceptFrame(std::string payload) {
    if (!greeted_) {
        greeted_ = checkGreeting(payload) == FrameRefusal::none;
        return greeted_;
    }
    const size_t bytes = payload.size() + perRequestOverhead;
    pendingBytes_ += bytes;
    core_->hold(bytes);
    queue_->async([self = shared_from_this(), payload = std::move(payload), bytes]() mutable {
        self->handle(std::move(payload));
        self->handled(bytes);
    });
    return true;
}

void ServerConnection::accountReader() {
    const size_t now = reader_.buffered();
    if (now > readerAccounted_)
        core_->hold(now - readerAccounted_);
    else if (now < readerAccounted_)
        core_->release(readerAccounted_ - now);
    readerAccounted_ = now;
}

bool ServerConnection::wantsReading() const {
    const size_t unread = outboundSize();
    if (unread >= core_->limits.unreadReplies) return false;
    const size_t held = reader_.buffered() + pendingBytes_.load() + unread;
    if (held >= core_->limits.connectionBudget) return false;
    return held < core_->limits.pressureAllowance || !core_->underPressure();
}

// A deadline runs only while a frame is under way and the connection is being read: time spent
// held back by the agent's own budget is not the client's fault.
void ServerConnection::trackFrameDeadline() {
    if (reader_.buffered() == 0 || !reading_) {
        frameDeadline_.cancel();
        return;
    }
    if (frameDeadline_.armed()) return;
    frameDeadline_ = core_->loop->after(core_->limits.frameTimeLimit, [this] { end(); });
}

void ServerConnection::updateInterest() {
    if (ended_ || !watch_) return;
    reading_ = wantsReading();
    if (!reading_) {
        // Whoever frees bytes looks at these flags; set first, then look once more, so bytes
        // freed in between are not missed.
        heldForBudget_ = true;
        if (core_->underPressure()) core_->holdForPressure(shared_from_this());
        reading_ = wantsReading();
    }
    trackFrameDeadline();
    const uint32_t interest = (reading_ ? uint32_t{EPOLLIN} : 0u) | (writing_ ? uint32_t{EPOLLOUT} : 0u);
    // Most passes change nothing; a system call per message would be the loop's largest cost.
    if (interest == interest_) return;
    interest_ = interest;
    watch_.setInterest(interest);
}

void ServerConnection::flushOutbound() {
    bool drained;
    bool progressed = false;
    bool failed = false;
    {
        std::lock_guard lock(outMutex_);
        const size_t before = outboundOffset_;
        failed = !sendWithoutWaiting(socket_.get(), outbound_, outboundOffset_);
        progressed = outboundOffset_ > before;
        drained = outboundOffset_ == outbound_.size();
        if (drained) {
            // A large reply's buffer is not kept once it has gone.
            std::string().swap(outbound_);
            outboundOffset_ = 0;
        }
    }
    if (failed) return end();
    if (progressed) runCaughtUpWaiters();
    writing_ = !drained;
    if (drained) {
        writeDeadline_.cancel();
    } else if (progressed || !writeDeadline_.armed()) {
        writeDeadline_ = core_->loop->after(core_->limits.writeStallLimit, [this] { end(); });
    }
    updateInterest();
}

void ServerConnection::end() {
    if (ended_) return;
    ended_ = true;
    invalidated_ = true;
    watch_.reset();
    frameDeadline_.cancel();
    writeDeadline_.cancel();
    {
        std::lock_guard lock(outMutex_);
        std::string().swap(outbound_);
        outboundOffset_ = 0;
        socket_.reset();
    }
    runCaughtUpWaiters();
    reader_ = FrameReader(maxRequestFrame);
    accountReader();
    core_->connectionEnded(this);
    queue_->async([self = shared_from_this()] {
        if (self->invalidationHandler_) self->invalidationHandler_();
        // Drop what the handlers hold (the session among them): nothing will call them again.
        self->invalidationHandler_ = nullptr;
        self->exported_ = nullptr;
        self->finished_.leave();
    });
}

// ---- the connection's queue ----

void ServerConnection::handle(std::string payload) {
    if (invalidated_.load() || !exported_) return;
    auto message = decodeMessage(payload);
    // The bytes are not needed once decoded; a large call is not held twice while it is handled.
    std::string().swap(payload);
    bool fits = false;
    if (const auto* call = message ? std::get_if<Call>(&*message) : nullptr) {
        auto reply = [self = shared_from_this(), sequence = call->sequence](Json values) {
            self->send(ReplyMessage{sequence, std::move(values)});
        };
        fits = exported_(call->selector, false, call->arguments, std::move(reply));
    } else if (const auto* oneWay = message ? std::get_if<OneWay>(&*message) : nullptr) {
        fits = exported_(oneWay->selector, true, oneWay->arguments, nullptr);
    }
    if (!fits) invalidate();
}

void ServerConnection::handled(size_t bytes) {
    pendingBytes_ -= bytes;
    core_->release(bytes);
    if (heldForBudget_.exchange(false)) core_->loop->post([self = shared_from_this()] { self->updateInterest(); });
}

// ---- any thread ----

void ServerConnection::sendOneWay(std::string_view selector, Json arguments) {
    send(OneWay{std::string(selector), std::move(arguments)});
}

void ServerConnection::send(const Message& message) { enqueue(encodeFrame(message)); }

size_t ServerConnection::outboundSize() const {
    std::lock_guard lock(outMutex_);
    return outbound_.size() - outboundOffset_;
}

void ServerConnection::sendFrames(const std::string& frames) { enqueue(frames); }

// The budget of a whole connection: a stream is not held up by replies that are merely slow
// to go, only by a client that has stopped taking them.
bool ServerConnection::isBehindLocked() const {
    return socket_ && outbound_.size() - outboundOffset_ >= core_->limits.connectionBudget;
}

bool ServerConnection::isBehind() const {
    std::lock_guard lock(outMutex_);
    return isBehindLocked();
}

void ServerConnection::whenCaughtUp(std::function<void()> ready) {
    {
        std::lock_guard lock(outMutex_);
        if (isBehindLocked()) {
            caughtUpWaiters_.push_back(std::move(ready));
            return;
        }
    }
    ready();
}

// Loop thread. Run without the lock: a waiter goes straight back to sending. Once the connection
// has ended nobody is behind, and every waiter runs.
void ServerConnection::runCaughtUpWaiters() {
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard lock(outMutex_);
        if (isBehindLocked()) return;
        ready.swap(caughtUpWaiters_);
    }
    for (auto& waiter : ready) waiter();
}

// Written at once when nothing waits before it, so a reply costs no trip through the loop;
// what the socket does not take waits for the loop to write it.
void ServerConnection::enqueue(const std::string& frames) {
    bool needsLoop = false;
    bool failed = false;
    {
        std::lock_guard lock(outMutex_);
        if (!socket_) return;
        size_t sent = 0;
        if (outbound_.empty()) {
            failed = !sendWithoutWaiting(socket_.get(), frames, sent);
            needsLoop = !failed && sent < frames.size();
        }
        if (!failed && sent < frames.size()) outbound_.append(frames, sent);
    }
    if (failed) return invalidate();
    if (!needsLoop) return;
    core_->loop->post([self = shared_from_this()] {
        if (self->ended_) return;
        self->writing_ = true;
        self->flushOutbound();
    });
}

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
void Listener::setLimits(const ConnectionLimits& limits) { core_->limits = limits; }

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
size_t Listener::heldBytes() const { return core_->heldBytes(); }

}  // namespace companion::ipc
