#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velkor::test {

/// A program run by a test with its standard input given and both output streams captured, for
/// command-line tests. Waits are bounded, so that a program that hangs fails the test.
class CliProcess {
  public:
    struct Result {
        int status;  ///< the exit status, 128 + the signal for a killed program, -1 if it hung
        std::string out;
        std::string err;
    };
    enum class Stream { out, err };

    /// Starts `argv` (argv[0] is the program, found through PATH) with `input` as standard input.
    explicit CliProcess(const std::vector<std::string>& argv, const std::string& input = {});
    /// Kills the program if it still runs.
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    /// Runs `argv` to its end (ten seconds at most).
    static Result run(const std::vector<std::string>& argv, const std::string& input = {});

    /// The next line of `stream`, without its newline; none when the stream ends or no line
    /// comes within `patience`.
    std::optional<std::string> nextLine(
        Stream stream, std::chrono::milliseconds patience = std::chrono::seconds(10));

    void signal(int number);

    /// Waits, `patience` at most, for the program to end, and gives what it wrote that was not
    /// read yet; kills it when it does not end in time (status -1).
    Result finish(std::chrono::milliseconds patience = std::chrono::seconds(10));

  private:
    /// Reads what has arrived on either stream, waiting until `deadline` for something; false
    /// when nothing more can arrive (both streams ended) or time is up.
    bool pump(std::chrono::steady_clock::time_point deadline);

    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};  // the read ends of standard output and standard error
    std::string buffers_[2];
};

}  // namespace velkor::test
