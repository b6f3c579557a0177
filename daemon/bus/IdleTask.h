#pragma once

#include <functional>

#include "bus/EventLoop.h"

namespace velkor::daemon {

/// An action that runs on the event loop once nothing more urgent is pending: after every bus
/// message that could be read at once has been dispatched. Scheduling it again before it has run
/// still runs it once.
class IdleTask {
  public:
    IdleTask(EventLoop& loop, std::function<void()> action);
    IdleTask(const IdleTask&) = delete;
    IdleTask& operator=(const IdleTask&) = delete;

    void schedule();

  private:
    static int onRun(sd_event_source* source, void* userdata);

    std::function<void()> action_;
    EventSourcePtr source_;
};

}  // namespace velkor::daemon
