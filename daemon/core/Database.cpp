#include "core/Database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "core/DatabaseError.h"

namespace velkor::daemon {

namespace {

// SQLite creates a missing database with the process umask's permissions, and its log files copy
// the database's. Creating the file first with 0600 keeps other local users out of it.
void createPrivately(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw DatabaseError(SQLITE_CANTOPEN,
                            "cannot create the store " + path + ": " + std::strerror(errno));
    }
    ::close(fd);
}

}  // namespace

Database::Database(const std::string& path) {
    // SQLite's memory statistics take a global mutex on every allocation, and nothing here
    // reads them: a large request runs some 5-10% faster without. (The setting can only be made
    // before SQLite is first used; later, it is refused and nothing changes.)
    [[maybe_unused]] static const int noStatistics = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    if (path != ":memory:") {
        createPrivately(path);
    }
    const int rc =
        sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        throw DatabaseError(rc, "cannot open the store " + path + ": " + message);
    }
    try {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_timeout(db_, 5000);
        exec("PRAGMA temp_store = MEMORY");
        // 16 MiB of page cache rather than SQLite's 2 MiB: writing, reading or removing a file
        // of hundreds of thousands of values otherwise reads the same b-tree pages from the
        // kernel again and again, while no other client is served. It grows only as used.
        exec("PRAGMA cache_size = -16384");
    } catch (...) {
        sqlite3_close_v2(db_);
        throw;
    }
}

void Database::setDurability(Durability durability) {
    exec("PRAGMA journal_mode = WAL");
    exec(durability == Durability::full ? "PRAGMA synchronous = FULL"
                                        : "PRAGMA synchronous = NORMAL");
}

void Database::makePrivate() {
    const char* file = sqlite3_db_filename(db_, "main");
    if (file == nullptr || *file == '\0') {
        return;
    }
    const std::string path = file;
    for (const std::string& name : {path, path + "-wal", path + "-shm"}) {
        struct stat status {};
        if (::stat(name.c_str(), &status) != 0) {
            if (errno == ENOENT && name != path) {
                continue;
            }
            throw DatabaseError(SQLITE_CANTOPEN,
                                "cannot read the mode of " + name + ": " + std::strerror(errno));
        }
        if ((status.st_mode & 077) != 0 && ::chmod(name.c_str(), status.st_mode & 0700) != 0) {
            throw DatabaseError(SQLITE_CANTOPEN,
                                "cannot make " + name + " private: " + std::strerror(errno));
        }
    }
}

Database::~Database() {
    statements_.clear();  // finalised before the connection closes
    sqlite3_close_v2(db_);
}

void Database::exec(const char* sql) {
    char* message = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        std::string text = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        throw DatabaseError(rc, text + " (" + sql + ")");
    }
}

bool Database::inTransaction() const {
    return sqlite3_get_autocommit(db_) == 0;
}

void Database::onCommit(std::function<void(int frames)> hook) {
    onCommit_ = std::move(hook);
    if (!onCommit_) {
        sqlite3_wal_hook(db_, nullptr, nullptr);
        return;
    }
    sqlite3_wal_hook(
        db_,
        [](void* self, sqlite3*, const char*, int frames) {
            static_cast<Database*>(self)->onCommit_(frames);
            return SQLITE_OK;
        },
        this);
}

void Database::defineFlag(const char* name, const bool* flag) {
    const int rc = sqlite3_create_function_v2(
        db_, name, 0, SQLITE_UTF8, const_cast<bool*>(flag),
        [](sqlite3_context* context, int, sqlite3_value**) {
            sqlite3_result_int(context, *static_cast<const bool*>(sqlite3_user_data(context)));
        },
        nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        throw DatabaseError(rc, std::string("defining ") + name + "(): " + sqlite3_errmsg(db_));
    }
}

namespace {

std::chrono::nanoseconds threadCpuTime() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

}  // namespace

void Database::limitWork(std::chrono::nanoseconds cpuTime) {
    // SQLite calls the handler every so many virtual machine instructions: some microseconds.
    constexpr int kInstructions = 2000;
    workEnd_ = threadCpuTime() + cpuTime;
    workStopped_ = false;
    sqlite3_progress_handler(
        db_, kInstructions,
        [](void* self) {
            auto* database = static_cast<Database*>(self);
            if (database->workStopped_ || threadCpuTime() < database->workEnd_) {
                return 0;
            }
            database->workStopped_ = true;
            return 1;
        },
        this);
}

bool Database::endWorkLimit() {
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    return std::exchange(workStopped_, false);
}

std::optional<int> Database::checkpoint() {
    int frames = 0;
    int copied = 0;
    const int rc =
        sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
    if (rc == SQLITE_BUSY) {
        return std::nullopt;
    }
    if (rc != SQLITE_OK) {
        throw DatabaseError(rc, std::string("checkpoint failed: ") + sqlite3_errmsg(db_));
    }
    return copied;
}

void Database::run(std::string_view sql) {
    query(sql)->run();
}

Query Database::query(std::string_view sql) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        auto statement = std::make_unique<Statement>(db_, sql);
        found = statements_.emplace(std::string(sql), std::move(statement)).first;
    }
    return Query(*found->second);
}

}  // namespace velkor::daemon
