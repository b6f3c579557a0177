#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/Durability.h"
#include "core/Statement.h"

struct sqlite3;

namespace velkor::daemon {

/// One SQLite connection to the store, in write-ahead-log mode with the synchronous level of the
/// chosen durability once `setDurability` has been called. Prepared statements are cached by their
/// SQL text.
///
/// Not thread-safe: its owner serialises every use.
class Database {
  public:
    /// Opens the database at `path`, creating it readable and writable by its owner only (it
    /// holds every user's settings). ":memory:" opens a private in-memory database. Opening
    /// writes nothing to an existing file, so that its owner may look at it first. Throws
    /// `DatabaseError`.
    explicit Database(const std::string& path);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    /// Puts the database in write-ahead-log mode with the synchronous level of `durability`.
    /// Throws `DatabaseError`.
    void setDurability(Durability durability);

    /// Makes the database file, and its log files where they exist, readable and writable by
    /// their owner only: SQLite gives the log files it creates the database file's mode, and a
    /// file velkord was given may have been made readable by others. Nothing for an in-memory
    /// database. Throws `DatabaseError`.
    void makePrivate();

    /// Runs one or more statements that return no rows, parsing them each time. Throws
    /// `DatabaseError`.
    void exec(const char* sql);

    /// Runs one statement that returns no rows through the statement cache: for statements run
    /// with every request (transaction control), which are then parsed only once. Throws
    /// `DatabaseError`.
    void run(std::string_view sql);

    /// A query over the cached statement for `sql`, prepared on first use.
    Query query(std::string_view sql);

    /// Whether a transaction is open. SQLite rolls a transaction back by itself after some
    /// failures (a full disk, an I/O error); this tells the caller.
    bool inTransaction() const;

    /// Calls `hook` on the committing thread after each commit, with the number of frames in
    /// the write-ahead log. It replaces SQLite's own checkpoints after commits: running them is
    /// then the hook's to arrange. The hook runs inside SQLite and must not throw. An empty
    /// `hook` removes it.
    void onCommit(std::function<void(int frames)> hook);

    /// Makes the SQL function `name()` return `*flag` (1 or 0) when it runs: a switch that
    /// triggers test in their WHEN clause. `flag` must outlive the database.
    void defineFlag(const char* name, const bool* flag);

    /// Makes the first statement that runs once the calling thread has spent `cpuTime` more
    /// (from now) fail with SQLITE_INTERRUPT (a `DatabaseError`), until `endWorkLimit`; the
    /// statements after it run as usual, so that the caller can undo what its work did. CPU
    /// time, not wall time, so that a thread the machine keeps waiting is not stopped for it.
    /// SQLite undoes the interrupted statement, and the whole transaction when that statement
    /// was writing: `inTransaction` tells.
    void limitWork(std::chrono::nanoseconds cpuTime);
    /// Ends what `limitWork` began; tells whether a statement was interrupted.
    bool endWorkLimit();

    /// Copies into the database what it can of the write-ahead log, without waiting for other
    /// connections (a passive checkpoint), and syncs as the durability asks. Returns how many
    /// frames of the log have been copied in all, or nothing when another connection is
    /// checkpointing. Throws `DatabaseError`.
    std::optional<int> checkpoint();

  private:
    /// Looks statements up by any string type, without building a std::string per query.
    struct SqlHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view sql) const noexcept {
            return std::hash<std::string_view>{}(sql);
        }
    };

    sqlite3* db_ = nullptr;
    std::function<void(int)> onCommit_;
    std::chrono::nanoseconds workEnd_{0};  ///< the thread's CPU time at which work stops
    bool workStopped_ = false;
    std::unordered_map<std::string, std::unique_ptr<Statement>, SqlHash, std::equal_to<>>
        statements_;
};

}  // namespace velkor::daemon
