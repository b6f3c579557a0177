#pragma once

#include <stdexcept>
#include <string>

namespace velkor::daemon {

/// A failure reported by SQLite: opening the store, a statement, a commit. Requests that meet one
/// are answered `serverError`, or `invalidFileData` when the store is damaged.
class DatabaseError : public std::runtime_error {
  public:
    DatabaseError(int code, const std::string& message)
        : std::runtime_error(message), code_(code) {}

    /// The SQLite result code (primary or extended).
    int code() const { return code_; }

    /// True when SQLite found the database file damaged or not a database at all.
    bool isCorruption() const;

  private:
    int code_;
};

}  // namespace velkor::daemon
