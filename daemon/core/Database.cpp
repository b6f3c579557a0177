#include "core/Database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

void Database::setDeadline(std::chrono::steady_clock::time_point deadline) {
    // SQLite calls the handler every so many virtual machine instructions: a few microseconds.
    constexpr int kInstructions = 1000;
    deadline_ = deadline;
    deadlinePassed_ = false;
    sqlite3_progress_handler(
        db_, kInstructions,
        [](void* self) {
            auto* database = static_cast<Database*>(self);
            if (database->deadlinePassed_ ||
                std::chrono::steady_clock::now() < database->deadline_) {
                return 0;
            }
            database->deadlinePassed_ = true;
            return 1;
        },
        this);
}

bool Database::clearDeadline() {
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    return std::exchange(deadlinePassed_, false);
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
