#pragma once

#include <cstdint>
#include <string_view>

#include "core/Caller.h"

namespace velkor::daemon {

/// Who may read and write which settings file.
///
/// A user's file (user number N) is readable and writable by uid N and by root (uid 0). The
/// shared file (user number 1) is readable by everyone and writable by root only. A refused
/// request is answered `fileDoesNotExist`, whose text covers "cannot be accessed", so that a
/// caller cannot tell another user's file from a missing one; each refusal is logged with the
/// caller's uid.
class Access {
  public:
    Access() = delete;

    static constexpr std::uint32_t rootUid = 0;
    static constexpr std::uint32_t sharedUser = 1;

    static bool mayRead(std::uint32_t uid, std::uint32_t user);
    static bool mayWrite(std::uint32_t uid, std::uint32_t user);

    /// Throws `fileDoesNotExist` and logs the refusal unless `caller` may read `user`'s file.
    static void requireRead(const Caller& caller, std::uint32_t user, std::string_view domain);
    /// Throws `fileDoesNotExist` and logs the refusal unless `caller` may write `user`'s file.
    static void requireWrite(const Caller& caller, std::uint32_t user, std::string_view domain);
};

}  // namespace velkor::daemon
