#include <unistd.h>

#include "velkor/VKOwnership.h"

namespace velkor {

std::uint32_t VKOwnership::userNumber() const {
    switch (case_) {
        case Case::user:
            return id_;
        case Case::shared:
            return 1;
        case Case::realUser:
            return static_cast<std::uint32_t>(getuid());
        case Case::effectiveUser:
            return static_cast<std::uint32_t>(geteuid());
    }
    return id_;
}

}  // namespace velkor
