#pragma once

#include <cstdint>

namespace velkor {

/// Whose settings file an operation means: a given user, the process's real or effective user,
/// or the shared, system-wide settings (user number 1).
class VKOwnership {
  public:
    enum class Case { user, shared, realUser, effectiveUser };

    static VKOwnership user(std::uint32_t id) { return VKOwnership(Case::user, id); }
    static VKOwnership shared() { return VKOwnership(Case::shared, 0); }
    static VKOwnership realUser() { return VKOwnership(Case::realUser, 0); }
    static VKOwnership effectiveUser() { return VKOwnership(Case::effectiveUser, 0); }

    Case kind() const { return case_; }

    /// The user number sent to the daemon: the id, 1 for shared, getuid() or geteuid().
    std::uint32_t userNumber() const;

    /// Compares the case and, for `user`, the id: user(5) differs from realUser even when the
    /// process's real user id is 5.
    friend bool operator==(const VKOwnership& a, const VKOwnership& b) {
        return a.case_ == b.case_ && (a.case_ != Case::user || a.id_ == b.id_);
    }

  private:
    VKOwnership(Case c, std::uint32_t id) : case_(c), id_(id) {}

    Case case_;
    std::uint32_t id_;
};

}  // namespace velkor
