#pragma once

#include <optional>
#include <type_traits>

#include "dispatch/ReadWriteQueue.h"
#include "internals/ContainerAccess.h"
#include "utils/OperationDeadline.h"
#include "velkor/VKContainer.h"

namespace velkor {

/// One operation of the caller on a container that may wait for the container's items lock and
/// then make requests to the daemon (a change, a proxy resolved while reading). On an attached
/// container it opens the operation's deadline, one request time-out from now (see
/// OperationDeadline), and takes the items lock by that deadline: a caller whose container is
/// held by another thread's exchange with the daemon waits for the lock and for its own requests
/// within one time-out in all, not one each. On a local container the lock is taken as usual.
class OperationOnContainer {
  public:
    explicit OperationOnContainer(const VKContainer& container);
    OperationOnContainer(const OperationOnContainer&) = delete;
    OperationOnContainer& operator=(const OperationOnContainer&) = delete;

    /// Runs `f` under the write lock. When the lock stays held past the deadline, logs an error
    /// and throws connectionLost, as a request does that gets no answer in time; `f` has not run.
    template <typename F>
    void withWriteLock(F&& f) const {
        if (!run(true, &callBody<F>, &f))
            timedOut();
    }
    /// As withWriteLock, with the read lock.
    template <typename F>
    void withReadLock(F&& f) const {
        if (!run(false, &callBody<F>, &f))
            timedOut();
    }

    /// A read that makes no request: `f` under the read lock, at once when the lock is free
    /// (the cost of an ordinary read), else within one operation, so that a read waiting for
    /// another thread's exchange gives up as withReadLock does rather than waiting it out.
    template <typename F>
    static std::invoke_result_t<F&> read(const VKContainer& container, F&& f) {
        std::optional<std::invoke_result_t<F&>> result;
        auto look = [&] { result.emplace(f()); };
        if (!detail::ContainerAccess::itemsLock(container).trySync(look)) {
            OperationOnContainer(container).withReadLock(look);
        }
        return std::move(*result);
    }

  private:
    /// Runs `body(context)` under the lock; false when the deadline passed first.
    bool run(bool write, void (*body)(void*), void* context) const;
    [[noreturn]] void timedOut() const;
    template <typename F>
    static void callBody(void* context) {
        (*static_cast<std::remove_reference_t<F>*>(context))();
    }

    const VKContainer& container_;
    std::optional<OperationDeadline> deadline_;
};

}  // namespace velkor
