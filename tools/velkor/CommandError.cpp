#include "CommandError.h"

namespace velkor::cli {

CommandError CommandError::fromError(const VKError& error, std::string_view detail) {
    std::string message(error.localizedDescription());
    message.append(" (").append(error.description()).append(")");
    if (!detail.empty())
        message.append(": ").append(detail);
    return CommandError(exitCodeFor(error), message);
}

ExitCode CommandError::exitCodeFor(const VKError& error) {
    switch (error.code()) {
        case VKError::fileDoesNotExist:
        case VKError::pathDoesNotExist:
        case VKError::indexOutOfRange:
        case VKError::containerNotFound:
            return ExitCode::notFound;
        case VKError::cannotConnect:
        case VKError::connectionLost:
            return ExitCode::connection;
        default:
            return ExitCode::refused;
    }
}

}  // namespace velkor::cli
