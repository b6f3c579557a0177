#pragma once

#include <sys/types.h>

#include <csignal>

#include <optional>
#include <string>
#include <vector>

namespace velkor::test {

/// A velkord of its own on a bus of the test's (usually a PrivateBus), for integration tests and
/// benchmarks. The constructor starts the given velkord binary with `--bus-address` and `--db`
/// (and `--no-direct-channels` when VELKOR_TEST_PATH is "bus", so that the suite can run on both
/// paths) and waits until it owns its service name; the destructor stops it by its process id. Its
/// standard error goes to a log file next to the store, which `log` reads.
class TestDaemon {
  public:
    struct Settings {
        /// The velkord binary; tests get it from CMake (VELKORD_PATH).
        std::string binary;
        std::string busAddress;
        /// The store. Several daemons in turn may use one store, as restarts do.
        std::string database;
        /// Further arguments, e.g. {"--durability", "full", "--log-level", "debug"}.
        std::vector<std::string> arguments{};
        std::string serviceName = "org.velkor.SettingsDaemon";
    };

    /// Starts the daemon and waits, ten seconds at most, until it owns its name. Throws
    /// std::runtime_error, with the daemon's log, when it exits or does not come up in time.
    explicit TestDaemon(Settings settings);
    /// Stops the daemon with SIGTERM if it still runs. A report of a sanitizer in its log
    /// (ThreadSanitizer, AddressSanitizer, UBSan) fails the running test.
    ~TestDaemon();
    TestDaemon(const TestDaemon&) = delete;
    TestDaemon& operator=(const TestDaemon&) = delete;

    pid_t pid() const { return pid_; }

    /// Sends `signal` (SIGTERM stops cleanly, SIGKILL at once) and waits, ten seconds at most,
    /// for the daemon to exit; gives its wait status (see waitpid). Later calls give the first
    /// status.
    int stop(int signal = SIGTERM);

    /// Waits, ten seconds at most, for a daemon that ends by itself; its wait status, or none.
    std::optional<int> waitForExit();

    /// Everything the daemon has written to standard error so far.
    std::string log() const;

  private:
    Settings settings_;
    std::string logPath_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

}  // namespace velkor::test
