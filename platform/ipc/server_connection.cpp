#include "platform/ipc/server_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/log/log.h"

namespace companion::ipc {

namespace {

// Reads per readiness report: a client that sends without pause yields the loop to the others
// after this many chunks.
constexpr int readsPerTurn = 4;
// What a waiting request costs beyond its bytes (the queued task, the string's header): counted
// so that a flood of tiny calls is bounded too.
constexpr size_t perRequestOverhead = 128;
// A burst of requests holding more than this in all is worth handing the freed memory back to
// the system once it is over (the allocator would otherwise keep the burst's peak for ever).
constexpr size_t trimThreshold = 1u << 20;

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

}  // namespace

// ---- ByteBudget ----

void ByteBudget::hold(size_t bytes) {
    const size_t now = held_ += bytes;
    if (now >= trimThreshold) largeBurst_ = true;
}

void ByteBudget::release(size_t bytes) {
    const size_t now = held_ -= bytes;
    if (now < limit_ && someoneWaits_.exchange(false)) loop_->post([self = shared_from_this()] { self->relieve(); });
    if (now == 0 && largeBurst_.exchange(false)) {
        loop_->post([self = shared_from_this()] {
            if (self->drainedAfterBurst_) self->drainedAfterBurst_();
        });
    }
}

void ByteBudget::whenRelieved(std::function<void()> ready) {
    waiting_.push_back(std::move(ready));
    someoneWaits_ = true;
}

void ByteBudget::relieve() {
    auto waiting = std::move(waiting_);
    waiting_.clear();
    for (auto& ready : waiting) ready();
}

// ---- ServerConnection ----

ServerConnection::ServerConnection(UniqueFd socket, std::shared_ptr<dispatch::Queue> queue, ConnectionHost host)
    : host_(std::move(host)), queue_(std::move(queue)), socket_(std::move(socket)) {
    finished_.enter();
}

ServerConnection::~ServerConnection() = default;

void ServerConnection::setExportedHandler(ExportedHandler handler) { exported_ = std::move(handler); }
void ServerConnection::setInvalidationHandler(std::function<void()> handler) {
    invalidationHandler_ = std::move(handler);
}

void ServerConnection::resume() {
    send(Greeting{std::string(protocolName), protocolVersion});
    if (host_.loop->isCurrent())
        watchSocket();
    else
        host_.loop->post([self = shared_from_this()] { self->watchSocket(); });
}

void ServerConnection::invalidate() {
    if (invalidated_.exchange(true)) return;
    host_.loop->post([self = shared_from_this()] { self->end(); });
}

void ServerConnection::waitUntilFinished() { finished_.wait(); }

// ---- the loop's side ----

void ServerConnection::watchSocket() {
    if (ended_) return;
    reading_ = true;
    watch_ = host_.loop->watch(socket_.get(), dispatch::Interest::read,
                                [this](dispatch::Readiness readiness) { onReady(readiness); });
    // Replies may have been queued before the socket was watched.
    updateInterest();
}

void ServerConnection::onReady(dispatch::Readiness readiness) {
    if (readiness.writable) flushOutbound();
    if (!ended_ && readiness.readable) readAvailable();
    // A hang-up with reading held: nobody will read the rest, and nobody is there to answer.
    // An end with nothing to read (a watch the kernel refused) would otherwise never be heard.
    if (!ended_ && readiness.ended && (!reading_ || !readiness.readable)) end();
}

void ServerConnection::readAvailable() {
    host_.loop->assertConfined();
    std::string& chunk = *host_.readBuffer;
    if (chunk.size() < readChunk) chunk.resize(readChunk);
    for (int turn = 0; turn < readsPerTurn && !ended_ && wantsReading(); ++turn) {
        const ssize_t count = ::read(socket_.get(), chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && errno == EAGAIN) break;
        if (count <= 0) return end();
        reader_.append(chunk.data(), static_cast<size_t>(count));
        for (std::string payload;;) {
            const auto status = reader_.next(payload);
            if (status == FrameReader::Status::needMore) break;
            const bool tooLarge = status == FrameReader::Status::tooLarge;
            if (tooLarge || !acceptFrame(std::move(payload))) {
                accountReader();
                return endFor(tooLarge ? frameTooLong : greetingRefused);
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
    host_.budget->hold(bytes);
    queue_->async([self = shared_from_this(), payload = std::move(payload), bytes]() mutable {
        self->handle(std::move(payload));
        self->handled(bytes);
    });
    return true;
}

void ServerConnection::accountReader() {
    const size_t now = reader_.buffered();
    if (now > readerAccounted_)
        host_.budget->hold(now - readerAccounted_);
    else if (now < readerAccounted_)
        host_.budget->release(readerAccounted_ - now);
    readerAccounted_ = now;
}

bool ServerConnection::wantsReading() const {
    const size_t unread = outboundSize();
    if (unread >= host_.limits.unreadReplies) return false;
    const size_t held = reader_.buffered() + pendingBytes_.load() + unread;
    if (held >= host_.limits.connectionBudget) return false;
    return held < host_.limits.pressureAllowance || !host_.budget->underPressure();
}

// A deadline runs only while a frame is under way and the connection is being read: time spent
// held back by the agent's own budget is not the client's fault.
void ServerConnection::trackFrameDeadline() {
    if (reader_.buffered() == 0 || !reading_) {
        frameDeadline_.cancel();
        return;
    }
    if (frameDeadline_.armed()) return;
    frameDeadline_ = host_.loop->after(host_.limits.frameTimeLimit, [this] { endFor(frameTooSlow); });
}

void ServerConnection::updateInterest() {
    if (ended_ || !watch_) return;
    reading_ = wantsReading();
    if (!reading_) {
        // Whoever frees bytes looks at these flags; set first, then look once more, so bytes
        // freed in between are not missed.
        heldForBudget_ = true;
        if (host_.budget->underPressure()) host_.budget->whenRelieved([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->updateInterest();
        });
        reading_ = wantsReading();
    }
    trackFrameDeadline();
    // Most passes change nothing, and then the loop makes no system call.
    watch_.setInterest((reading_ ? dispatch::Interest::read : dispatch::Interest::none) |
                       (writing_ ? dispatch::Interest::write : dispatch::Interest::none));
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
        writeDeadline_ = host_.loop->after(host_.limits.writeStallLimit, [this] { endFor(repliesNotTaken); });
    }
    updateInterest();
}

void ServerConnection::endFor(std::string_view why) {
    if (ended_) return;
    log::warn(log::Kind::connectionEnded, "ended the connection of " + peer_ + ": " + std::string(why));
    end();
}

void ServerConnection::end() {
    host_.loop->assertConfined();
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
    host_.ended(this);
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
    if (fits) return;
    if (invalidated_.exchange(true)) return;
    host_.loop->post([self = shared_from_this()] { self->endFor(messageMisfit); });
}

void ServerConnection::handled(size_t bytes) {
    pendingBytes_ -= bytes;
    host_.budget->release(bytes);
    if (heldForBudget_.exchange(false)) host_.loop->post([self = shared_from_this()] { self->updateInterest(); });
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
    return socket_ && outbound_.size() - outboundOffset_ >= host_.limits.connectionBudget;
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
    host_.loop->post([self = shared_from_this()] {
        if (self->ended_) return;
        self->writing_ = true;
        self->flushOutbound();
    });
}

}  // namespace companion::ipc
