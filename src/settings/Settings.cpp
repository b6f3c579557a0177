#include "velkor/Settings.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "basalt/QZLogger.h"
#include "internals/InnerConnection.h"
#include "settings/ContentDiff.h"
#include "utils/ErrorText.h"
#include "utils/OperationDeadline.h"
#include "velkor/VKConnection.h"
#include "velkor/VKConversions.h"
#include "velkor/rx/CompositeDisposable.h"
#include "velkor/rx/Disposables.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Settings");
    return log;
}

// Errors that mean the daemon is not there (yet), rather than that it refused the file.
bool daemonAway(const VKError& error) {
    return error == VKError::connectionLost || error == VKError::cannotConnect;
}

// How long an opening waits for the monitor to replace the connection it has just disposed:
// building the new one takes at most the request time-out.
std::chrono::nanoseconds replacementTime(const VKConnectionPtr& disposed) {
    auto inner = std::dynamic_pointer_cast<InnerConnection>(disposed);
    return inner ? inner->requestTimeout() : std::chrono::seconds(5);
}

}  // namespace

/// The state that the handle, the monitor's subscription and the root's subscription share; the
/// subscriptions hold it weakly.
struct Settings::Core : std::enable_shared_from_this<Core> {
    Core(VKConnectionMonitorPtr monitor, std::string domain, VKOwnership ownership,
         IfMissing ifMissing)
        : monitor(std::move(monitor)),
          domain(std::move(domain)),
          ownership(ownership),
          ifMissing(ifMissing) {}

    /// Follows the monitor from now on; throws what the first opening was refused with.
    void start();
    /// Opens the file through `connection` (or drops it for none), then tells the observers.
    void follow(const VKConnectionPtr& connection);
    /// What follow() does one call at a time; it queues the events without delivering them.
    void followLocked(const VKConnectionPtr& connection);
    std::shared_ptr<VKDictionary> openRoot(const VKConnectionPtr& connection) const;
    /// Forwards the root's events to the observers; the result ends the forwarding.
    rx::DisposablePtr forwardChangesOf(const std::shared_ptr<VKDictionary>& root);
    void subscribeToChanges(const std::shared_ptr<VKDictionary>& root,
                            const std::shared_ptr<rx::CompositeDisposable>& into);
    /// Forgets the open file, keeping its content for the next Reloaded; gives the subscription
    /// to its root for the caller to end where no lock is held.
    rx::DisposablePtr dropRootLocked();
    /// Forgets `deleted` when it is still the open file: the daemon deleted that file. With
    /// IfMissing::create, gives the connection to create it again through, and the count of
    /// connections followed so far, for reopenDeleted.
    std::pair<VKConnectionPtr, std::uint64_t> dropDeleted(
        const std::shared_ptr<VKDictionary>& deleted);
    /// Creates the deleted file again through `through` and tells the observers as a reload,
    /// unless the monitor published another connection since (`seen`), which opened it.
    void reopenDeleted(const VKConnectionPtr& through, std::uint64_t seen);

    /// Queues `event` for the observers after those queued before.
    void queue(Event event);
    /// Queues `event` and delivers the queue.
    void post(Event event);
    /// Ends holding delivery back, putting `first` before the events that queued up meanwhile.
    void release(std::optional<Event> first);
    /// Delivers the queued events unless another thread is doing so or delivery is held back.
    void flush();
    void deliver();
    Subscription addObserver(Observer observer);
    void dispose();

    VKConnectionMonitorPtr monitor;
    bool ownsMonitor = false;
    const std::string domain;
    const VKOwnership ownership;
    const IfMissing ifMissing;

    std::mutex following;  // held while one published connection is handled

    mutable std::mutex mutex;  // guards the fields below; held only to touch them
    bool disposed = false;
    bool starting = false;  // the first connection is handled within start()
    // Within start(): the monitor published a connection it has disposed, so it is making the
    // next one, which start() waits for.
    bool awaitingReplacement = false;
    std::uint64_t followed = 0;        // connections handled so far
    std::condition_variable replaced;  // notified when another connection has been handled
    std::optional<VKError> refusal;
    VKConnectionPtr connection;              // the connection `root` was opened through
    std::shared_ptr<VKDictionary> root;      // the open file, or none
    std::shared_ptr<VKDictionary> lastRoot;  // what the observers saw before the file was lost
    rx::DisposablePtr rootChanges;           // forwards the root's events
    rx::DisposablePtr connections;           // follows the monitor
    std::map<std::uint64_t, std::shared_ptr<const Observer>> observers;
    std::map<std::uint64_t, std::weak_ptr<rx::Disposable>> subscriptions;  // of the observers
    std::uint64_t nextObserver = 0;
    std::deque<Event> events;
    bool delivering = false;
    bool held = false;  // events queue up while a reopened root is being set up
    std::atomic<bool> resubscribing{false};  // a thread subscribes to the root's stream again
    std::chrono::nanoseconds waitForReplacement{0};
};

void Settings::Core::start() {
    const auto started = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(mutex);
        starting = true;
    }
    std::weak_ptr<Core> weak = weak_from_this();
    auto subscription =
        monitor->observableConnection().subscribe([weak](const VKConnectionPtr& published) {
            if (auto core = weak.lock())
                core->follow(published);
        });
    std::optional<VKError> refused;
    {
        std::unique_lock lock(mutex);
        // Opened while the monitor was replacing its connection: the file is opened through the
        // new one before open() returns, not reported later as reloaded. The opening through
        // the old one and this wait share one time-out (or what is left of the caller's).
        const auto until =
            std::min(started + waitForReplacement, OperationDeadline::current(waitForReplacement));
        while (awaitingReplacement) {
            const auto seen = followed;
            // Not come in time: open() returns with the file not open, and the new connection
            // opens it later, reported as reloaded. Nobody observes the handle yet, so there is
            // nobody to tell of the loss (an event queued now would reach the first observers
            // after that reload).
            if (!replaced.wait_until(lock, until, [&] { return followed != seen; })) {
                awaitingReplacement = false;
            }
        }
        starting = false;
        refused = std::exchange(refusal, std::nullopt);
        if (!refused) {
            connections = std::move(subscription);
            return;
        }
    }
    subscription->dispose();
    throw *refused;
}

void Settings::Core::follow(const VKConnectionPtr& published) {
    {
        std::lock_guard lock(following);
        followLocked(published);
        {
            std::lock_guard fields(mutex);
            ++followed;
        }
        replaced.notify_all();
    }
    flush();
}

void Settings::Core::followLocked(const VKConnectionPtr& published) {
    rx::DisposablePtr ended;
    bool wasOpen = false;
    {
        std::lock_guard lock(mutex);
        awaitingReplacement = false;
        if (disposed || (published && published == connection))
            return;
        wasOpen = root != nullptr;
        ended = dropRootLocked();
        if (published)
            held = true;
    }
    if (auto previous = std::exchange(ended, nullptr))
        previous->dispose();
    if (!published) {
        if (wasOpen) {
            logger().info("Settings of domain='%@' are closed until the daemon is back.", domain);
            queue(Lost{});
        }
        return;
    }

    std::shared_ptr<VKDictionary> opened;
    rx::DisposablePtr changes;
    std::optional<VKError> failure;
    try {
        opened = openRoot(published);
        changes = forwardChangesOf(opened);
    } catch (const VKError& error) {
        failure = error;
    } catch (...) {
        logger().error("Can't open settings of domain='%@': %@", domain,
                       localizedErrorText(std::current_exception()));
        failure = VKError(VKError::serverError);
    }
    if (failure) {
        if (daemonAway(*failure)) {
            logger().warning("Can't open settings of domain='%@' yet: %@", domain,
                             failure->description());
        } else {
            logger().error("Can't open settings of domain='%@': %@", domain,
                           failure->description());
        }
        {
            std::lock_guard lock(mutex);
            if (starting && !daemonAway(*failure)) {
                refusal = failure;
                held = false;
                return;
            }
            if (starting && published->isDisposed()) {
                // The monitor disposed it to make the next one: start() waits for that.
                awaitingReplacement = true;
                waitForReplacement = replacementTime(published);
                held = false;
                return;
            }
        }
        release(Lost{failure});
        return;
    }

    std::shared_ptr<VKDictionary> before;
    bool first = false;
    {
        std::lock_guard lock(mutex);
        if (disposed) {
            ended = std::move(changes);
        } else {
            first = starting;
            before = std::exchange(lastRoot, nullptr);
            connection = published;
            root = opened;
            rootChanges = std::move(changes);
        }
    }
    if (ended) {
        ended->dispose();
        return;
    }
    if (first) {
        release(std::nullopt);  // opened within start(): nothing to compare with, nobody to tell
        return;
    }
    auto diff = ContentDiff::between(before, opened);
    logger().info("Settings of domain='%@' reopened: %d added, %d removed, %d changed.", domain,
                  static_cast<int>(diff.added.size()), static_cast<int>(diff.removed.size()),
                  static_cast<int>(diff.changed.size()));
    release(
        Reloaded{opened, std::move(diff.added), std::move(diff.removed), std::move(diff.changed)});
}

std::shared_ptr<VKDictionary> Settings::Core::openRoot(const VKConnectionPtr& published) const {
    std::shared_ptr<VKDictionary> opened;
    if (ifMissing == IfMissing::create) {
        opened = published->openDictionary(domain, ownership);
    } else {
        opened = asDictionary(published->getSetting(domain, {}, true, ownership));
        if (!opened) {
            logger().error("Open settings failed: the root of domain='%@' is not a dictionary.",
                           domain);
            throw VKError(VKError::invalidData);
        }
    }
    // The whole tree is read now, so that what changed while the daemon was away can be told
    // from what is held even when it cannot be fetched any more.
    opened->prefetchContent(true);
    return opened;
}

rx::DisposablePtr Settings::Core::forwardChangesOf(const std::shared_ptr<VKDictionary>& opened) {
    auto forwarding = std::make_shared<rx::CompositeDisposable>();
    subscribeToChanges(opened, forwarding);
    return forwarding;
}

void Settings::Core::subscribeToChanges(const std::shared_ptr<VKDictionary>& opened,
                                        const std::shared_ptr<rx::CompositeDisposable>& into) {
    std::weak_ptr<Core> weak = weak_from_this();
    std::weak_ptr<VKDictionary> weakRoot = opened;
    std::weak_ptr<rx::CompositeDisposable> weakInto = into;
    into->add(opened->asObservable().subscribe(
        [weak, weakRoot](const VKContainerChange& change) {
            auto core = weak.lock();
            if (!core)
                return;
            std::pair<VKConnectionPtr, std::uint64_t> reopen;
            if (change.get<VKContainerChange::DidDelete>()) {
                if (auto deleted = weakRoot.lock())
                    reopen = core->dropDeleted(deleted);
            }
            core->post(change);
            if (reopen.first)
                core->reopenDeleted(reopen.first, reopen.second);
        },
        [weak, weakRoot, weakInto](const rx::Error& error) {
            auto core = weak.lock();
            if (!core)
                return;
            // The root's stream ended because the daemon could not be told of its observers:
            // the root's next stream tells it again. Once, so that a daemon that keeps failing
            // is reported rather than asked for ever (the new subscription fails on this very
            // thread).
            auto root = weakRoot.lock();
            auto forwarding = weakInto.lock();
            if (root && forwarding && !forwarding->isDisposed() &&
                !core->resubscribing.exchange(true)) {
                logger().warning("Changes of settings of domain='%@' are observed again.",
                                 core->domain);
                core->subscribeToChanges(root, forwarding);
                core->resubscribing = false;
                return;
            }
            try {
                std::rethrow_exception(error);
            } catch (const VKError& e) {
                core->post(Lost{e});
            } catch (...) {
                core->post(Lost{VKError(VKError::serverError)});
            }
        }));
}

rx::DisposablePtr Settings::Core::dropRootLocked() {
    if (root)
        lastRoot = std::exchange(root, nullptr);
    connection = nullptr;
    return std::exchange(rootChanges, nullptr);
}

std::pair<VKConnectionPtr, std::uint64_t> Settings::Core::dropDeleted(
    const std::shared_ptr<VKDictionary>& deleted) {
    rx::DisposablePtr ended;
    VKConnectionPtr through;
    std::uint64_t seen = 0;
    {
        std::lock_guard lock(mutex);
        if (root != deleted)
            return {};
        through = connection;
        seen = followed;
        ended = dropRootLocked();
    }
    if (ifMissing == IfMissing::create) {
        logger().info("Settings of domain='%@' were deleted; they are created again.", domain);
    } else {
        logger().info("Settings of domain='%@' were deleted; closed until the next connection.",
                      domain);
        through = nullptr;
    }
    if (ended)
        ended->dispose();
    return {through, seen};
}

void Settings::Core::reopenDeleted(const VKConnectionPtr& through, std::uint64_t seen) {
    {
        std::lock_guard lock(following);
        {
            std::lock_guard fields(mutex);
            if (followed != seen)
                return;
        }
        followLocked(through);
    }
    flush();
}

void Settings::Core::queue(Event event) {
    std::lock_guard lock(mutex);
    if (!disposed)
        events.push_back(std::move(event));
}

void Settings::Core::post(Event event) {
    queue(std::move(event));
    flush();
}

void Settings::Core::release(std::optional<Event> first) {
    std::lock_guard lock(mutex);
    held = false;
    if (first && !disposed)
        events.push_front(std::move(*first));
}

void Settings::Core::flush() {
    {
        std::lock_guard lock(mutex);
        if (delivering || held || disposed || events.empty())
            return;
        delivering = true;
    }
    deliver();
}

void Settings::Core::deliver() {
    for (;;) {
        std::optional<Event> event;
        std::vector<std::pair<std::uint64_t, std::shared_ptr<const Observer>>> targets;
        {
            std::lock_guard lock(mutex);
            if (events.empty() || held || disposed) {
                delivering = false;
                return;
            }
            event.emplace(std::move(events.front()));
            events.pop_front();
            targets.assign(observers.begin(), observers.end());
        }
        for (const auto& [id, observer] : targets) {
            {
                std::lock_guard lock(mutex);
                if (!observers.contains(id))
                    continue;  // it left while an earlier one ran
            }
            try {
                (*observer)(*event);
            } catch (...) {
                logger().error("An observer of settings of domain='%@' failed: %@", domain,
                               localizedErrorText(std::current_exception()));
            }
        }
    }
}

Subscription Settings::Core::addObserver(Observer observer) {
    std::uint64_t id = 0;
    {
        std::lock_guard lock(mutex);
        if (disposed || !observer)
            return Subscription(rx::Disposables::create());
        id = nextObserver++;
        observers.emplace(id, std::make_shared<const Observer>(std::move(observer)));
    }
    std::weak_ptr<Core> weak = weak_from_this();
    auto subscription = rx::Disposables::create([weak, id] {
        std::shared_ptr<const Observer> removed;  // released after the lock
        if (auto core = weak.lock()) {
            std::lock_guard lock(core->mutex);
            core->subscriptions.erase(id);
            if (auto found = core->observers.find(id); found != core->observers.end()) {
                removed = std::move(found->second);
                core->observers.erase(found);
            }
        }
    });
    bool ended = false;
    {
        std::lock_guard lock(mutex);
        ended = disposed;
        if (!ended)
            subscriptions.emplace(id, subscription);
    }
    if (ended)
        subscription->dispose();  // the handle was disposed meanwhile
    return Subscription(std::move(subscription));
}

void Settings::Core::dispose() {
    rx::DisposablePtr following, changes;
    std::map<std::uint64_t, std::shared_ptr<const Observer>> dropped;
    std::map<std::uint64_t, std::weak_ptr<rx::Disposable>> ended;
    std::deque<Event> undelivered;
    std::shared_ptr<VKDictionary> openRoot, heldRoot;
    VKConnectionMonitorPtr ownMonitor;
    {
        std::lock_guard lock(mutex);
        if (disposed)
            return;
        disposed = true;
        following = std::exchange(connections, nullptr);
        changes = std::exchange(rootChanges, nullptr);
        dropped.swap(observers);
        ended.swap(subscriptions);
        undelivered.swap(events);
        openRoot = std::exchange(root, nullptr);
        heldRoot = std::exchange(lastRoot, nullptr);
        connection = nullptr;
        if (ownsMonitor)
            ownMonitor = std::move(monitor);
    }
    if (following)
        following->dispose();
    if (changes)
        changes->dispose();
    if (ownMonitor)
        ownMonitor->dispose();
    for (const auto& [id, subscription] : ended) {
        if (auto live = subscription.lock())
            live->dispose();
    }
}

Settings::Settings(std::shared_ptr<Core> core) : core_(std::move(core)) {}

Settings::~Settings() {
    dispose();
}

std::shared_ptr<Settings> Settings::open(VKConnectionMonitorPtr monitor, std::string domain,
                                         VKOwnership ownership, IfMissing ifMissing) {
    if (!monitor || domain.empty())
        throw VKError(VKError::invalidData);
    auto core = std::make_shared<Core>(std::move(monitor), std::move(domain), ownership, ifMissing);
    core->start();
    return std::shared_ptr<Settings>(new Settings(std::move(core)));
}

std::shared_ptr<Settings> Settings::open(const ConnectionOptions& options, std::string domain,
                                         VKOwnership ownership, IfMissing ifMissing) {
    if (domain.empty())
        throw VKError(VKError::invalidData);
    // Making the monitor and opening the file take one time-out in all.
    const OperationDeadline operation(
        std::chrono::duration_cast<OperationDeadline::Clock::duration>(options.requestTimeout));
    auto monitor = makeMonitor(options);
    std::shared_ptr<Settings> settings;
    try {
        settings = open(monitor, std::move(domain), ownership, ifMissing);
    } catch (...) {
        monitor->dispose();
        throw;
    }
    std::lock_guard lock(settings->core_->mutex);
    settings->core_->ownsMonitor = true;
    return settings;
}

const std::string& Settings::domain() const {
    return core_->domain;
}

VKOwnership Settings::ownership() const {
    return core_->ownership;
}

std::shared_ptr<VKDictionary> Settings::current() const {
    std::lock_guard lock(core_->mutex);
    return core_->root;
}

Subscription Settings::observe(Observer observer) {
    return core_->addObserver(std::move(observer));
}

void Settings::dispose() {
    core_->dispose();
}

}  // namespace velkor
