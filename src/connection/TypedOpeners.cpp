#include "basalt/QZLogger.h"
#include "velkor/VKArray.h"
#include "velkor/VKConnection.h"
#include "velkor/VKConversions.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

namespace velkor {

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Connection");
    return log;
}

/// The opened root as a `T`; a root of the other class is logged and refused.
template <typename T>
std::shared_ptr<T> rootAs(const VKConnection::OpenResult& opened, const std::string& domain,
                          const char* expected) {
    if (auto root = std::dynamic_pointer_cast<T>(opened.rootContainer))
        return root;
    logger().error("Open settings failed: the root of domain='%@' is not %@.", domain, expected);
    throw VKError(VKError::invalidData);
}

}  // namespace

void VKConnection::refuseSettingOfAnotherClass(const std::string& domain, const std::string& path,
                                               const VKObjectPtr& value) {
    logger().error(
        "Get setting failed: the value at path='%@' of domain='%@' is %@.", path, domain,
        value ? std::string(VKObjectBase::kindDescription(value->kind())) : std::string("missing"));
    throw VKError(VKError::invalidData);
}

std::shared_ptr<VKDictionary> VKConnection::openDictionary(const std::string& domain,
                                                           VKOwnership ownership) {
    return openDictionary(VKDictionary::make(), domain, ownership);
}

std::shared_ptr<VKDictionary> VKConnection::openDictionary(
    const std::shared_ptr<VKDictionary>& root, const std::string& domain, VKOwnership ownership) {
    return rootAs<VKDictionary>(openOrCreateSettings(root, domain, ownership), domain,
                                "a dictionary");
}

std::shared_ptr<VKArray> VKConnection::openArray(const std::string& domain, VKOwnership ownership) {
    return openArray(VKArray::make(), domain, ownership);
}

std::shared_ptr<VKArray> VKConnection::openArray(const std::shared_ptr<VKArray>& root,
                                                 const std::string& domain, VKOwnership ownership) {
    return rootAs<VKArray>(openOrCreateSettings(root, domain, ownership), domain, "an array");
}

}  // namespace velkor
