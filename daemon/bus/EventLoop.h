#pragma once

#include <systemd/sd-event.h>

#include <memory>

namespace velkor::daemon {

/// Releases an sd-event source (disabling it) when its owner goes.
struct EventSourceUnref {
    void operator()(sd_event_source* source) const { sd_event_source_disable_unref(source); }
};
using EventSourcePtr = std::unique_ptr<sd_event_source, EventSourceUnref>;

/// The daemon's one event loop (sd-event), run on the main thread; the bus connection, the
/// flushing of request batches and the stop signals all live on it.
///
/// SIGTERM and SIGINT are blocked when the loop is made and arrive through a signalfd that the
/// loop watches, so that no work at all happens in a signal handler: either signal ends `run`
/// with status 0, after the event being dispatched has finished. Make the loop before any thread
/// starts, so that every thread inherits the blocked signals.
class EventLoop {
  public:
    EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    sd_event* get() const { return event_.get(); }

    /// Dispatches events until a stop signal arrives or `exit` is called; gives the exit status.
    int run();

    /// Makes `run` return `status` once the current event has been dispatched.
    void exit(int status);

    /// The signal that ended `run`, or 0.
    int stopSignal() const { return stopSignal_; }

  private:
    static int onSignal(sd_event_source* source, const struct signalfd_siginfo* info,
                        void* userdata);

    struct EventUnref {
        void operator()(sd_event* event) const { sd_event_unref(event); }
    };
    std::unique_ptr<sd_event, EventUnref> event_;
    EventSourcePtr terminate_;
    EventSourcePtr interrupt_;
    int stopSignal_ = 0;
};

}  // namespace velkor::daemon
