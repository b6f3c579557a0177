#include "fleet/EtcdWatcher.h"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "etcd.grpc.pb.h"
#include "fleet/EtcdChannels.h"
#include "fleet/EtcdMessages.h"
#include "fleet/EtcdStatus.h"

namespace velkor::fleet {

namespace {

using std::chrono::milliseconds;

// How long stop() waits for the thread; every blocking step of the thread is cancelled by
// stop() or bounded by less than this.
constexpr auto stopWait = std::chrono::seconds(5);
// The pause between attempts when members keep failing: from nothing up to this.
constexpr auto longestPause = milliseconds(1000);
constexpr auto authenticationTime = std::chrono::seconds(2);

}  // namespace

struct EtcdWatcher::State {
    std::shared_ptr<EtcdChannels> channels;
    std::string prefix;
    Callback callback;
    Reach reach;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    bool finished = false;
    // The context of the stream in use, for stop() to cancel.
    grpc::ClientContext* context = nullptr;
    int64_t nextRevision = 0;
    std::size_t member = 0;
};

EtcdWatcher::EtcdWatcher(std::shared_ptr<EtcdChannels> channels, const std::string& prefix,
                         int64_t startRevision, Callback callback, Reach reach)
    : state_(std::make_shared<State>()) {
    state_->channels = std::move(channels);
    state_->prefix = prefix;
    state_->callback = std::move(callback);
    state_->reach = std::move(reach);
    state_->nextRevision = startRevision;
    state_->member = state_->channels->preferred();
    thread_ = std::thread(run, state_);
}

EtcdWatcher::~EtcdWatcher() {
    stop();
}

void EtcdWatcher::stop() {
    std::unique_lock lock(state_->mutex);
    state_->stopping = true;
    if (state_->context)
        state_->context->TryCancel();
    state_->changed.notify_all();
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    const bool finished =
        state_->changed.wait_for(lock, stopWait, [&] { return state_->finished; });
    lock.unlock();
    if (finished)
        thread_.join();
    else
        thread_.detach();
}

int64_t EtcdWatcher::nextRevision() const {
    std::lock_guard lock(state_->mutex);
    return state_->nextRevision;
}

std::string EtcdWatcher::endpoint() const {
    std::lock_guard lock(state_->mutex);
    return state_->channels->endpoint(state_->member);
}

bool EtcdWatcher::ended() const {
    std::lock_guard lock(state_->mutex);
    return state_->finished;
}

void EtcdWatcher::run(const std::shared_ptr<State>& state) {
    pthread_setname_np(pthread_self(), "etcd-watch");
    milliseconds pause{0};
    // Members that failed in a row, the one whose stream broke included.
    std::size_t failed = 0;
    for (;;) {
        bool created = false;
        std::string why;
        if (watchOnce(*state, created, why))
            break;
        if (created) {
            pause = milliseconds(0);
            failed = 0;
        }
        if (++failed == state->channels->size() && state->reach)
            state->reach(false, why);
        std::unique_lock lock(state->mutex);
        state->member = (state->member + 1) % state->channels->size();
        if (state->changed.wait_for(lock, pause, [&] { return state->stopping; }))
            break;
        pause = std::clamp(pause * 2, milliseconds(50), longestPause);
    }
    std::lock_guard lock(state->mutex);
    state->finished = true;
    state->changed.notify_all();
}

bool EtcdWatcher::watchOnce(State& state, bool& created, std::string& why) {
    grpc::ClientContext context;
    etcdserverpb::WatchRequest request;
    std::size_t member = 0;
    {
        std::lock_guard lock(state.mutex);
        if (state.stopping)
            return true;
        member = state.member;
        auto& create = *request.mutable_create_request();
        create.set_key(state.prefix);
        create.set_range_end(etcdPrefixEnd(state.prefix));
        create.set_start_revision(state.nextRevision);
        create.set_progress_notify(true);
    }
    std::string token;
    try {
        token = state.channels->prepare(context, member,
                                        std::chrono::steady_clock::now() + authenticationTime);
    } catch (const std::exception& error) {
        why = error.what();
        return false;
    }
    {
        std::lock_guard lock(state.mutex);
        if (state.stopping)
            return true;
        state.context = &context;
    }

    etcdserverpb::Watch::Stub stub(state.channels->channel(member));
    auto stream = stub.Watch(&context);
    bool ended = false;
    etcdserverpb::WatchResponse response;
    if (stream->Write(request)) {
        while (!ended && stream->Read(&response)) {
            EtcdWatchUpdate update{response.header().revision(), {}, response.compact_revision()};
            if (update.compactRevision > 0) {
                ended = true;
            } else if (response.canceled()) {
                // A token that expired makes etcd cancel the watch; the next attempt renews it.
                state.channels->dropToken(token);
                break;
            } else if (response.created()) {
                created = true;
                {
                    // A watch of the changes to come starts after the revision etcd had then; a
                    // later resumption must start there, not at whatever is current by then.
                    std::lock_guard lock(state.mutex);
                    if (state.nextRevision == 0)
                        state.nextRevision = update.revision + 1;
                }
                if (state.reach)
                    state.reach(true, {});
                continue;
            }
            for (const auto& event : response.events())
                update.events.push_back(fromMessage(event));
            // Events come in revision order; without any, this is a progress notice, and
            // every change up to its revision has been delivered.
            if (!update.events.empty())
                update.revision = update.events.back().kv.modRevision;
            std::unique_lock lock(state.mutex);
            if (state.stopping) {
                ended = true;
                break;
            }
            if (update.compactRevision == 0)
                state.nextRevision = std::max(state.nextRevision, update.revision + 1);
            lock.unlock();
            state.callback(update);
        }
    }
    context.TryCancel();
    const auto status = stream->Finish();
    if (tokenRejected(status))
        state.channels->dropToken(token);
    why = "the watch on " + state.channels->endpoint(member) +
          " ended: " + (status.ok() ? std::string("by etcd") : status.error_message());
    std::lock_guard lock(state.mutex);
    state.context = nullptr;
    return ended || state.stopping;
}

}  // namespace velkor::fleet
