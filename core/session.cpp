#include "core/session.h"

#include <signal.h>

#include "core/command_runner.h"
#include "platform/ipc/wire.h"

namespace companion {

using namespace service;

void ClientProxy::syncOutput(const std::string& id, const std::vector<std::string>& lines) const {
    std::string frames;
    for (const auto& line : lines) ipc::appendStringOneWayFrame(frames, msg::syncOutput::selector, {id, line});
    connection_->sendFrames(frames);
}

CompanionSession::CompanionSession(std::weak_ptr<ipc::Connection> connection, const Platform& platform,
                                   const Services& services)
    : axQueue_(platform.dispatcher->makeSerialQueue(accessibilityQueueLabel)),
      work_(platform.dispatcher->makeConcurrentQueue(workQueueLabel)),
      platform_(platform),
      services_(services) {
    connection_ = std::move(connection);
}

std::optional<ClientProxy> CompanionSession::client() const {
    auto connection = connection_.lock();
    if (!connection) return std::nullopt;
    return ClientProxy(std::move(connection));
}

Verdict CompanionSession::handle(std::string_view selector, bool oneWay, const nlohmann::json& arguments,
                                 ReplySink sink) {
    return service::dispatch(services_.handlers, *this, selector, oneWay, arguments, std::move(sink));
}

bool CompanionSession::registerSync(const std::string& id, std::shared_ptr<process::SharedProcess> process) {
    std::lock_guard guard(lock_);
    if (stopped_) return false;
    syncs_[id] = std::move(process);
    return true;
}

void CompanionSession::removeSync(const std::string& id, const std::shared_ptr<process::SharedProcess>& process) {
    std::lock_guard guard(lock_);
    auto it = syncs_.find(id);
    if (it != syncs_.end() && it->second == process) syncs_.erase(it);
}

std::shared_ptr<process::SharedProcess> CompanionSession::findSync(const std::string& id) const {
    std::lock_guard guard(lock_);
    auto it = syncs_.find(id);
    return it == syncs_.end() ? nullptr : it->second;
}

bool CompanionSession::registerMount(const std::string& id, MountEntry entry) {
    std::lock_guard guard(lock_);
    if (stopped_) return false;
    mounts_[id] = std::move(entry);
    return true;
}

std::optional<MountEntry> CompanionSession::removeMount(const std::string& id) {
    std::lock_guard guard(lock_);
    auto node = mounts_.extract(id);
    if (!node) return std::nullopt;
    return std::move(node.mapped());
}

void CompanionSession::removeMount(const std::string& id, const std::shared_ptr<process::SharedProcess>& process) {
    std::lock_guard guard(lock_);
    auto it = mounts_.find(id);
    if (it != mounts_.end() && it->second.process == process) mounts_.erase(it);
}

size_t CompanionSession::syncCount() const {
    std::lock_guard guard(lock_);
    return syncs_.size();
}

bool CompanionSession::hasStopped() const {
    std::lock_guard guard(lock_);
    return stopped_;
}

size_t CompanionSession::mountCount() const {
    std::lock_guard guard(lock_);
    return mounts_.size();
}

void CompanionSession::stopAll() {
    std::vector<MountEntry> mounts;
    std::vector<std::shared_ptr<process::SharedProcess>> syncs;
    {
        std::lock_guard guard(lock_);
        stopped_ = true;
        for (auto& [id, entry] : mounts_) mounts.push_back(std::move(entry));
        for (auto& [id, process] : syncs_) syncs.push_back(std::move(process));
        mounts_.clear();
        syncs_.clear();
    }
    for (const auto& sync : syncs) {
        if (!sync->isRunning()) continue;
        sync->terminate();
        // One that ignores SIGTERM would outlive its connection for ever. The copy keeps the
        // pidfd open, so the kill can never reach a recycled pid.
        platform_.mainQueue().asyncAfter(toolKillGrace, std::make_shared<dispatch::WorkItem>([sync] {
            if (sync->isRunning()) sync->signal(SIGKILL);
        }));
    }
    for (const auto& mount : mounts) {
        if (services_.endMount) {
            services_.endMount(*this, mount);
        } else if (mount.process) {
            mount.process->terminate();
        }
    }
}

// ---- the core's own messages ----

namespace {

// The greeting's answer is the table's own (a live agent, version unknown), with the version
// filled in when the build carries one: the fixed values live in one place.
void helloWithReply(CompanionSession& session, Args<msg::helloWithReply>, Reply<msg::helloWithReply> reply) {
    auto answer = msg::helloWithReply::refused();
    if (const auto& version = session.platform().version; !version.empty()) std::get<1>(answer) = version;
    reply(std::move(answer));
}

}  // namespace

void installCoreServices(Services& services) {
    services.handlers.helloWithReply = &helloWithReply;
}

}  // namespace companion
