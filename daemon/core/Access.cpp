#include "core/Access.h"

#include "basalt/QZLogger.h"
#include "core/LogThrottle.h"
#include "velkor/VKError.h"

namespace velkor::daemon {

namespace {

auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Daemon.Access");

void refuse(const Caller& caller, const char* what, std::uint32_t user, std::string_view domain) {
    if (std::size_t held = 0; LogThrottle::shared().allow(caller.clientId, held)) {
        log.warning("Refused to %@ %d@%@ for uid %d (client %@).%@", what, user, domain, caller.uid,
                    caller.clientId, LogThrottle::heldNote(held));
    }
    throw VKError(VKError::fileDoesNotExist);
}

}  // namespace

bool Access::mayRead(std::uint32_t uid, std::uint32_t user) {
    return uid == rootUid || user == sharedUser || uid == user;
}

bool Access::mayWrite(std::uint32_t uid, std::uint32_t user) {
    return uid == rootUid || (user != sharedUser && uid == user);
}

void Access::requireRead(const Caller& caller, std::uint32_t user, std::string_view domain) {
    if (!mayRead(caller.uid, user)) {
        refuse(caller, "read", user, domain);
    }
}

void Access::requireWrite(const Caller& caller, std::uint32_t user, std::string_view domain) {
    if (!mayWrite(caller.uid, user)) {
        refuse(caller, "write", user, domain);
    }
}

}  // namespace velkor::daemon
