#include "fleet/EtcdError.h"

namespace velkor::fleet {

EtcdError::EtcdError(Kind kind, const std::string& message, bool maybeApplied)
    : std::runtime_error(message), kind_(kind), maybeApplied_(maybeApplied) {}

}  // namespace velkor::fleet
