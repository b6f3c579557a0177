#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "velkor/UUID.h"

struct sqlite3;
struct sqlite3_stmt;

namespace velkor::daemon {

/// One prepared SQL statement, kept for the life of its database and reused. It is used through a
/// `Query`, which binds it, steps it and resets it when done; a statement serves one query at a
/// time, so callers read all the rows they need before issuing the same statement again.
///
/// Every failure throws `DatabaseError`. Indexes of parameters start at 1, of columns at 0, as in
/// SQLite.
class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, std::int64_t value);
    void bind(int index, std::string_view text);
    void bind(int index, std::span<const std::uint8_t> bytes);
    /// Binds the 16 bytes of `id`.
    void bind(int index, const UUID& id);

    /// Runs the statement up to the next row; false when there is none left.
    bool step();
    /// Runs the statement to its end, ignoring any rows.
    void run();

    /// The SQLite type of a column of the current row (SQLITE_INTEGER, SQLITE_TEXT, ...).
    int type(int column) const;
    std::int64_t integer(int column) const;
    /// The text of a column; valid until the next step or reset.
    std::string_view text(int column) const;
    /// The bytes of a column; valid until the next step or reset.
    std::span<const std::uint8_t> bytes(int column) const;
    /// A column holding exactly 16 bytes as a UUID, or none.
    std::optional<UUID> uuid(int column) const;

  private:
    friend class Query;

    void reset() noexcept;
    [[noreturn]] void fail(int code) const;

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
    bool inUse_ = false;
};

/// One use of a `Statement`: claims it, and resets it and clears its bindings on destruction.
class Query {
  public:
    /// Throws `DatabaseError` when the statement is already in use by another query.
    explicit Query(Statement& statement);
    ~Query();
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    Statement* operator->() const { return statement_; }
    Statement& operator*() const { return *statement_; }

  private:
    Statement* statement_;
};

}  // namespace velkor::daemon
