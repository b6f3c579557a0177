#pragma once

#include <sqlite3.h>

#include <thread>

namespace velkor::fleet::test {

/// Makes SQLite's writes fail on demand, as a full disk does (`SQLITE_FULL`), for the stores a
/// test opens while it is installed: it wraps the process's default file system layer (VFS)
/// and forwards everything else to it. Reads never fail.
///
/// One at a time, in one test; the default layer is restored when it goes.
class FailingWrites {
  public:
    FailingWrites();
    ~FailingWrites();
    FailingWrites(const FailingWrites&) = delete;
    FailingWrites& operator=(const FailingWrites&) = delete;

    /// From now on, every write fails.
    void failAll();
    /// From now on, writes fail on every thread but the caller's, which may commit `count` more
    /// transactions before its writes fail too.
    void allowCommits(int count);
    /// From now on, every write succeeds again.
    void succeed();

  private:
    sqlite3_vfs vfs_{};
};

}  // namespace velkor::fleet::test
