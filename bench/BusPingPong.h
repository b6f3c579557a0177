#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace velkor::test {

/// The bare sd-bus round trip that Velkor's end-to-end figures are compared with: a one-way
/// method call from a client connection to a server connection that owns a well-known name,
/// answered by a signal addressed to the client alone. Both sides use sd-bus directly with
/// nothing of Velkor in between; the server answers on its own thread, the client waits on the
/// calling thread. The messages have the shape of a small request and its answer
/// (setHasSubscriptionWithTag, answered by requestSucceededWithTag).
class BusPingPong {
  public:
    /// Connects both sides to the bus at `address`; the server takes `serverName`.
    explicit BusPingPong(const std::string& address,
                         const std::string& serverName = "org.velkor.PingPong");
    ~BusPingPong();
    BusPingPong(const BusPingPong&) = delete;
    BusPingPong& operator=(const BusPingPong&) = delete;

    /// One round trip, timed from building the call to reading the answer. Call it from one
    /// thread at a time.
    std::chrono::nanoseconds roundTrip();

  private:
    void serve();

    std::string serverName_;
    sd_bus* client_ = nullptr;
    sd_bus* server_ = nullptr;
    std::uint64_t counter_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace velkor::test
