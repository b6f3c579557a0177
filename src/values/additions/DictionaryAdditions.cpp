// Typed access to dictionaries: getters with a default, setters that report success, the
// subscript and literal construction. None of them throws: a failure of the dictionary's own
// operation is logged and turns into the fallback. A missing key is not a failure.
#include <optional>

#include "basalt/QZLogger.h"
#include "dispatch/ReadWriteQueue.h"
#include "internals/ContainerAccess.h"
#include "values/additions/FailureText.h"
#include "values/additions/ScalarInPlace.h"
#include "values/client/OperationOnContainer.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"

namespace velkor {

using Access = detail::ContainerAccess;

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Dictionary");
    return log;
}

}  // namespace

template <typename Result, typename Convert>
Result VKDictionary::getTyped(const std::string& at, Result defaultValue, const char* what,
                              Convert convert) {
    try {
        bool unfetched = false;
        auto look = [&]() -> std::optional<Result> {  // none for a missing key or another type
            auto found = Access::findItem(*this, at);
            if (found == innerItems().end()) {
                return std::nullopt;
            }
            return scalarInPlace<Result>(*found->second, convert, unfetched);
        };
        std::optional<Result> result;
        if (!Access::itemsLock(*this).trySync([&] { result = look(); })) {
            OperationOnContainer(*this).withReadLock([&] { result = look(); });
        }
        if (unfetched) {
            get(at);  // fetched as get fetches it; a container is neither a number nor a string
        }
        return result ? std::move(*result) : defaultValue;  // a missing key or another type
    } catch (...) {
        logger().error("Getting %@ from dictionary(id=%@)[%@] has failed. Error: %@", what, id(),
                       at, currentFailureText());
        return defaultValue;
    }
}

std::int64_t VKDictionary::getInteger(const std::string& at, std::int64_t defaultValue) {
    return getTyped(at, defaultValue, "number", [](const VKNumber& n) { return n.value(); });
}

bool VKDictionary::getBool(const std::string& at, bool defaultValue) {
    return getTyped(at, defaultValue, "boolean", [](const VKNumber& n) { return n.boolValue(); });
}

std::string VKDictionary::get(const std::string& at, const std::string& defaultValue) {
    return getTyped(at, defaultValue, "string", [](const VKString& s) { return s.value(); });
}

bool VKDictionary::setObject(const std::string& at, VKObjectPtr value, const char* what) {
    try {
        set(at, std::move(value));
        return true;
    } catch (...) {
        logger().error("Setting %@ to dictionary(id=%@)[%@] has failed. Error: %@", what, id(), at,
                       currentFailureText());
        return false;
    }
}

bool VKDictionary::setInteger(const std::string& at, std::int64_t value) {
    return setObject(at, std::make_shared<VKNumber>(value), "number");
}

bool VKDictionary::setBool(const std::string& at, bool value) {
    return setObject(at, VKNumber::withBool(value), "boolean");
}

bool VKDictionary::set(const std::string& at, const std::string& value) {
    return setObject(at, std::make_shared<VKString>(value), "string");
}

VKDictionary::Subscript::operator VKObjectPtr() const {
    try {
        return dictionary_.get(key_);
    } catch (...) {
        logger().error("Getting an object from dictionary[%@] has failed (id=%@). Error: %@", key_,
                       dictionary_.id(), currentFailureText());
        return nullptr;
    }
}

VKDictionary::Subscript& VKDictionary::Subscript::operator=(VKObjectPtr value) {
    try {
        if (value) {
            dictionary_.set(key_, std::move(value));
        } else {
            dictionary_.remove(key_);
        }
    } catch (...) {
        logger().error("Setting object to dictionary[%@] has failed (id=%@). Error: %@", key_,
                       dictionary_.id(), currentFailureText());
    }
    return *this;
}

std::shared_ptr<VKDictionary> VKDictionary::make(
    std::initializer_list<std::pair<const std::string, VKObjectPtr>> entries) {
    auto dictionary = make(entries.size());
    try {
        for (const auto& [key, value] : entries) {
            dictionary->set(key, value);
        }
    } catch (...) {
        logger().error("Can't initialize with literals. Error: %@", currentFailureText());
    }
    return dictionary;
}

}  // namespace velkor
