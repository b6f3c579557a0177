#include "core/Statement.h"

#include <sqlite3.h>

#include <string>

#include "core/DatabaseError.h"

namespace velkor::daemon {

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
    const int rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        fail(rc);
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

void Statement::fail(int code) const {
    throw DatabaseError(code, std::string(sqlite3_errmsg(db_)) + " (" +
                                  (stmt_ ? sqlite3_sql(stmt_) : "prepare") + ")");
}

void Statement::bind(int index, std::int64_t value) {
    if (const int rc = sqlite3_bind_int64(stmt_, index, value); rc != SQLITE_OK) {
        fail(rc);
    }
}

void Statement::bind(int index, std::string_view text) {
    // SQLite would read a null pointer as NULL; an empty text must stay a text.
    const char* data = text.data() ? text.data() : "";
    if (const int rc =
            sqlite3_bind_text64(stmt_, index, data, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        rc != SQLITE_OK) {
        fail(rc);
    }
}

void Statement::bind(int index, std::span<const std::uint8_t> bytes) {
    static const std::uint8_t none = 0;
    const void* data = bytes.data() ? bytes.data() : &none;
    if (const int rc = sqlite3_bind_blob64(stmt_, index, data, bytes.size(), SQLITE_TRANSIENT);
        rc != SQLITE_OK) {
        fail(rc);
    }
}

void Statement::bind(int index, const UUID& id) {
    bind(index, std::span<const std::uint8_t>(id.bytes()));
}

bool Statement::step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    fail(rc);
}

void Statement::run() {
    while (step()) {
    }
}

int Statement::type(int column) const {
    return sqlite3_column_type(stmt_, column);
}

std::int64_t Statement::integer(int column) const {
    return sqlite3_column_int64(stmt_, column);
}

std::string_view Statement::text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
    return data ? std::string_view(data, size) : std::string_view();
}

std::span<const std::uint8_t> Statement::bytes(int column) const {
    const auto* data = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
    const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
    return data ? std::span<const std::uint8_t>(data, size) : std::span<const std::uint8_t>();
}

std::optional<UUID> Statement::uuid(int column) const {
    if (type(column) != SQLITE_BLOB) {
        return std::nullopt;
    }
    return UUID::fromBytes(bytes(column));
}

void Statement::reset() noexcept {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

Query::Query(Statement& statement) : statement_(&statement) {
    if (statement.inUse_) {
        throw DatabaseError(SQLITE_MISUSE, "statement already in use: " +
                                               std::string(sqlite3_sql(statement.stmt_)));
    }
    statement.inUse_ = true;
}

Query::~Query() {
    statement_->reset();
    statement_->inUse_ = false;
}

}  // namespace velkor::daemon
