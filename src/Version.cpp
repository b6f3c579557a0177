#include "velkor/Version.h"

namespace velkor {

const char* versionString() {
    return VELKOR_VERSION;
}

}  // namespace velkor
