#pragma once

#include <sys/types.h>

#include <string>

namespace velkor::test {

/// A dbus-daemon of its own, for one test or benchmark: the configuration of scripts/private-bus
/// (session type, any user may connect and own any name, unless told another policy) in a
/// temporary directory, with the bus socket there. The constructor starts it and waits until it
/// listens; the destructor stops it by its process id and removes the directory. Throws
/// std::runtime_error when the bus cannot be started.
class PrivateBus {
  public:
    /// `serviceDirectory`, when given, holds .service files of services the bus starts on demand.
    /// `policy`, when given, is configuration (<policy> and <include> elements) that replaces
    /// the policy that allows everything.
    explicit PrivateBus(const std::string& serviceDirectory = {}, const std::string& policy = {});
    ~PrivateBus();
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    /// The address clients connect to, e.g. "unix:path=/tmp/velkor-bus.Ab12Cd/bus,guid=...".
    const std::string& address() const { return address_; }

    /// Stops the bus now: every connection to it closes. Idempotent.
    void stop();

  private:
    std::string directory_;
    std::string address_;
    pid_t pid_ = -1;
    int output_ = -1;
};

}  // namespace velkor::test
