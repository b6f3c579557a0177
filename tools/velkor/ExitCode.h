#pragma once

namespace velkor::cli {

/// The exit status of the `velkor` tool; the man page and `--help` list the same values.
enum class ExitCode : int {
    success = 0,
    /// A usage error or bad input: unknown options, bad JSON, a bad path, a value that cannot be
    /// stored (a floating-point number, null).
    badInput = 1,
    /// No such settings file (or one the caller may not access: the daemon does not tell the
    /// two apart), or no value at the path.
    notFound = 2,
    /// The daemon refused the request (a conflict, invalid data) or failed.
    refused = 3,
    /// The daemon cannot be reached, or the connection to it was lost.
    connection = 4,
};

}  // namespace velkor::cli
