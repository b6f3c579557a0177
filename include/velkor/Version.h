#pragma once

namespace velkor {

/// The library's version, e.g. "0.1.0".
const char* versionString();

}  // namespace velkor
