#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "ExitCode.h"
#include "velkor/VKError.h"

namespace velkor::cli {

/// A failure of a command: the line the tool prints (after "velkor: COMMAND: ") and the status
/// it exits with.
class CommandError : public std::runtime_error {
  public:
    CommandError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}

    /// Bad input from the user, described by `message`.
    static CommandError badInput(const std::string& message) {
        return CommandError(ExitCode::badInput, message);
    }

    /// A library error: its localizedDescription and case name, then `detail` when given, e.g.
    /// "A settings file does not exists (or cannot be accessed). (FileDoesNotExist)".
    static CommandError fromError(const VKError& error, std::string_view detail = {});

    /// The status for a library error: notFound for a missing (or inaccessible) file, path,
    /// index or container; connection for cannotConnect and connectionLost; refused otherwise.
    static ExitCode exitCodeFor(const VKError& error);

    ExitCode exitCode() const { return code_; }

  private:
    ExitCode code_;
};

}  // namespace velkor::cli
