#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "velkor/Subscription.h"
#include "velkor/UUID.h"
#include "velkor/VKContainerBase.h"
#include "velkor/VKContainerChange.h"
#include "velkor/rx/Observable.h"

namespace velkor {

class VKConnection;

/// The client side of every container (arrays, dictionaries and proxies): the settings file it
/// belongs to, the connection it talks through, the lock over its items and the stream of change
/// events that observers subscribe to.
///
/// A container is local until the daemon knows it (a tree being built before it is created, or
/// one detached when its settings file was deleted): then changes stay in memory. Once attached
/// to a connection every change is sent to the daemon and confirmed before the call returns.
/// When the daemon stops holding an attached container for this client (it then tells nothing
/// more of its changes), the container is fetched again, takes the daemon's content and posts
/// the events of the differences; until that succeeds its changes fail (connectionLost, or
/// containerNotFound when the daemon no longer has it) and change nothing, and the fetch is
/// retried in the background. After a request about the container went unanswered in time,
/// its changes fail with connectionLost at once, without a request, for a pause (about a second,
/// doubling while the daemon stays late, up to 16 seconds), so that retries do not add to the
/// load of a daemon that is behind.
class VKContainer : public VKContainerBase {
  public:
    ~VKContainer() override;

    /// The id of the root container of the settings file; all zeros while there is none.
    UUID rootId() const;
    /// Whether the container is attached to a connection.
    bool onServer() const;
    /// The connection the container is attached to, or empty.
    std::shared_ptr<VKConnection> connection() const;

    /// Replaces the proxies held by this container (or, recursively, by the whole tree below it)
    /// by their real containers, fetching them from the daemon. Does nothing while local.
    void prefetchContent(bool recursiveFetch);

    /// The containers holding this one, by id (including the parents of the proxy this container
    /// was resolved from).
    std::unordered_map<UUID, std::shared_ptr<VKContainer>> getAllParents() const;

    /// The change events of this container. They arrive on the connection's scheduler, in the
    /// order they were posted, never on the thread that caused them; observers are never called
    /// concurrently. The daemon is told when the stream gains its first observer and when it
    /// loses its last; telling it holds up only the thread that does, never other observers
    /// joining or leaving meanwhile.
    ///
    /// When the daemon cannot be told, every observer receives that error and that stream stays
    /// ended: whoever subscribes to it later receives the error at once, and a failed report of
    /// a first observer, which the daemon may have taken all the same, is withdrawn. The next
    /// call of asObservable() (or observe()) gives a new stream, which tells the daemon again.
    rx::Observable<VKContainerChange> asObservable() const;

    /// Subscribes `onChange` (and `onError`, see asObservable) to the change events and hands
    /// the subscription out scoped: it ends, and the daemon learns of a last observer leaving,
    /// when the returned object is destroyed or disposed.
    Subscription observe(std::function<void(const VKContainerChange&)> onChange,
                         std::function<void(rx::Error)> onError = {}) const {
        return Subscription(asObservable().subscribe(std::move(onChange), std::move(onError)));
    }

    // The items lock: readers share it, writers hold it alone. Not re-entrant. A lock that
    // cannot be taken throws std::system_error before `f` runs; `f`'s own exceptions pass on.

    /// Runs `f` on the items lock as a reader, concurrently with other readers, and returns its
    /// result.
    template <typename F>
    std::invoke_result_t<F&> withReadItemsLock(F&& f) const {
        return withItemsLock(false, std::forward<F>(f));
    }
    /// Runs `f` on the items lock alone, after the blocks already running and before the ones
    /// that come later, and returns its result.
    template <typename F>
    std::invoke_result_t<F&> withWriteItemsLock(F&& f) const {
        return withItemsLock(true, std::forward<F>(f));
    }
    /// Runs `f` as a writer when `write` is set, else as a reader.
    template <typename F>
    std::invoke_result_t<F&> withItemsLock(bool write, F&& f) const {
        using Result = std::invoke_result_t<F&>;
        if constexpr (std::is_void_v<Result>) {
            auto call = [&] { f(); };
            runUnderItemsLock(write, &callBody<decltype(call)>, &call);
        } else if constexpr (std::is_reference_v<Result>) {
            std::remove_reference_t<Result>* result = nullptr;
            auto call = [&] { result = std::addressof(f()); };
            runUnderItemsLock(write, &callBody<decltype(call)>, &call);
            return static_cast<Result>(*result);
        } else {
            std::optional<Result> result;
            auto call = [&] { result.emplace(f()); };
            runUnderItemsLock(write, &callBody<decltype(call)>, &call);
            return std::move(*result);
        }
    }

  protected:
    explicit VKContainer(Kind kind);

  private:
    friend class detail::ContainerAccess;
    struct Shared;  // root id, connection, change events, the items lock, the library's hooks

    /// Runs `body(context)` on the items lock; what the lock templates above reduce to, so that
    /// the lock's definition stays inside the library.
    void runUnderItemsLock(bool write, void (*body)(void*), void* context) const;
    template <typename Call>
    static void callBody(void* context) {
        (*static_cast<Call*>(context))();
    }

    std::unique_ptr<Shared> shared_;
};

using VKContainerPtr = std::shared_ptr<VKContainer>;

}  // namespace velkor
