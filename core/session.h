#pragma once
// The session of one client connection: its queues, the long-running rclone processes it
// started, and the way every service method moves its work off the connection's queue.

#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/dispatch.h"
#include "platform/ipc/connection.h"
#include "platform/platform.h"
#include "platform/process/process.h"
#include "service/messages.h"

namespace companion {

class CompanionSession;

// A running rclone mount and where it is mounted.
struct MountEntry {
    std::shared_ptr<process::SharedProcess> process;
    std::string mountPoint;
};

using ServiceTable = service::CompanionService<CompanionSession>;

// Everything the subsystems contribute to a session: the handlers of their messages, and how a
// mount is ended when its connection goes.
struct Services {
    ServiceTable handlers;
    std::function<void(CompanionSession&, const MountEntry&)> endMount;
};

// The client's callbacks, reached through the connection while it lasts.
class ClientProxy {
public:
    explicit ClientProxy(std::shared_ptr<ipc::Connection> connection) : connection_(std::move(connection)) {}
    // Sends one callback of the client list.
    template <class M>
        requires(M::oneWay)
    void send(const service::Args<M>& args) const {
        connection_->sendOneWay(M::selector, M::Args::encode(args));
    }
    // The lines of one sync's log, in order and in one write: a stream of callbacks builds no
    // value tree and makes no write per line.
    void syncOutput(const std::string& id, const std::vector<std::string>& lines) const;
    // A stream's pacing: see the connection's.
    bool isBehind() const { return connection_->isBehind(); }
    void whenCaughtUp(std::function<void()> ready) const { connection_->whenCaughtUp(std::move(ready)); }

private:
    std::shared_ptr<ipc::Connection> connection_;
};

// Which of the session's queues a request's work runs on.
enum class WorkQueue { work, axQueue };

inline constexpr const char* workQueueLabel = "companion.work";
inline constexpr const char* accessibilityQueueLabel = "companion.accessibility";

class CompanionSession : public std::enable_shared_from_this<CompanionSession> {
public:
    CompanionSession(std::weak_ptr<ipc::Connection> connection, const Platform& platform,
                     const Services& services);
    CompanionSession(const CompanionSession&) = delete;
    CompanionSession& operator=(const CompanionSession&) = delete;

    const Platform& platform() const { return platform_; }
    const Services& services() const { return services_; }

    // Absent once the connection is gone.
    std::optional<ClientProxy> client() const;

    // Decodes one incoming message and runs its handler; refused when it does not fit the table.
    service::Verdict handle(std::string_view selector, bool oneWay, const nlohmann::json& arguments,
                service::ReplySink sink);

    // The method pattern: `work` runs on the chosen queue and its result is the reply, sent
    // exactly once. A handler checks its arguments first and refuses on the arriving queue.
    template <class M, class Work>
    void submit(WorkQueue on, service::Reply<M> reply, Work work) {
        queue(on).async([reply = std::move(reply), work = std::move(work)]() mutable {
            std::optional<typename M::Replies::Tuple> result;
            try {
                result.emplace(work());
            } catch (const std::exception&) {
                // Nothing a client sends may take the agent down; it gets the refused form.
            }
            if (result)
                reply(std::move(*result));
            else
                reply.refuse();
        });
    }
    template <class M, class Work>
    void submit(service::Reply<M> reply, Work work) {
        submit(WorkQueue::work, std::move(reply), std::move(work));
    }
    // The same pattern for work that outlives its turn on the queue (a sync that runs for
    // hours): `start` takes the reply (as `Reply<M>&&`) and hands it on to whatever carries the
    // work to its end, which sends it exactly once. A `start` that fails before handing it on
    // has the refused form sent for it.
    template <class M, class Start>
    void submitHandingOn(service::Reply<M> reply, Start start) {
        work_->async([reply = std::move(reply), start = std::move(start)]() mutable {
            try {
                start(std::move(reply));
            } catch (const std::exception&) {
                if (reply) reply.refuse();
            }
        });
    }

    dispatch::Queue& queue(WorkQueue on) { return on == WorkQueue::work ? *work_ : *axQueue_; }

    // The tables of long-running processes. A second registration under one identifier replaces
    // the entry, not the process. Registering fails once `stopAll` has run: the connection is
    // gone, and the caller must end its process itself.
    [[nodiscard]] bool registerSync(const std::string& id, std::shared_ptr<process::SharedProcess> process);
    // Removes the entry only while it still holds `process`, so a run that ends never removes a
    // later run registered under the same identifier.
    void removeSync(const std::string& id, const std::shared_ptr<process::SharedProcess>& process);
    std::shared_ptr<process::SharedProcess> findSync(const std::string& id) const;
    [[nodiscard]] bool registerMount(const std::string& id, MountEntry entry);
    std::optional<MountEntry> removeMount(const std::string& id);
    // Removes the entry only while it still holds `process`, like `removeSync`.
    void removeMount(const std::string& id, const std::shared_ptr<process::SharedProcess>& process);
    size_t syncCount() const;
    // True once `stopAll` has run: the connection is gone, and nothing new may start for it.
    bool hasStopped() const;
    size_t mountCount() const;

    // Ends every sync and mount this session started; called once when the connection ends.
    void stopAll();

private:
    std::weak_ptr<ipc::Connection> connection_;
    mutable std::mutex lock_;  // guards mounts_, syncs_ and stopped_, and nothing else
    std::map<std::string, MountEntry> mounts_;
    std::map<std::string, std::shared_ptr<process::SharedProcess>> syncs_;
    bool stopped_ = false;  // guarded by lock_
    std::shared_ptr<dispatch::Queue> axQueue_;
    std::shared_ptr<dispatch::Queue> work_;
    const Platform& platform_;
    const Services& services_;
};

// The agent core's own messages.
void installCoreServices(Services& services);

}  // namespace companion
