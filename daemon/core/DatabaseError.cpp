#include "core/DatabaseError.h"

#include <sqlite3.h>

namespace velkor::daemon {

bool DatabaseError::isCorruption() const {
    const int primary = code_ & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace velkor::daemon
