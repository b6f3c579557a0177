#pragma once

#include <chrono>
#include <functional>

#include "bus/EventLoop.h"

namespace velkor::daemon {

/// An action that runs on the event loop once nothing more urgent is pending: after every bus
/// message that could be read at once has been dispatched. Scheduling it again before it has run
/// still runs it once.
///
/// It runs within `kPatience` of being scheduled all the same: a peer that keeps its socket full
/// would otherwise keep the loop from ever being idle, and hold the action up for everyone.
class IdleTask {
  public:
    static constexpr std::chrono::milliseconds kPatience{10};

    IdleTask(EventLoop& loop, std::function<void()> action);
    IdleTask(const IdleTask&) = delete;
    IdleTask& operator=(const IdleTask&) = delete;

    void schedule();

  private:
    static int onRun(sd_event_source* source, void* userdata);
    static int onPatienceOver(sd_event_source* source, std::uint64_t usec, void* userdata);
    void run();

    std::function<void()> action_;
    EventSourcePtr source_;
    EventSourcePtr deadline_;
    bool scheduled_ = false;
};

}  // namespace velkor::daemon
