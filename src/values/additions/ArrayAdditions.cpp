// Typed access to arrays: getters with a default, setters and appenders that report success,
// the subscript and literal construction. None of them throws: a failure of the array's own
// operation is logged and turns into the fallback.
#include <optional>

#include "basalt/QZLogger.h"
#include "dispatch/ReadWriteQueue.h"
#include "internals/ContainerAccess.h"
#include "values/additions/FailureText.h"
#include "values/additions/ScalarInPlace.h"
#include "values/client/OperationOnContainer.h"
#include "velkor/VKArray.h"
#include "velkor/VKScalars.h"

namespace velkor {

using Access = detail::ContainerAccess;

namespace {

auto& logger() {
    static auto& log = basalt::QZLogger::loggerWithIdentifier("Velkor.Values.Array");
    return log;
}

}  // namespace

template <typename Result, typename Convert>
Result VKArray::getTyped(std::int64_t at, Result defaultValue, const char* what, Convert convert) {
    try {
        bool unfetched = false;
        auto result = OperationOnContainer::read(*this, [&]() -> std::optional<Result> {
            if (!inRange(at)) {
                throw VKError(VKError::indexOutOfRange);
            }
            return scalarInPlace<Result>(*innerItems()[static_cast<std::size_t>(at)], convert,
                                         unfetched);
        });
        if (unfetched) {
            get(at);  // fetched as get fetches it; a container is neither a number nor a string
        }
        return result ? std::move(*result) : defaultValue;  // another type is not a failure
    } catch (...) {
        logger().error("Getting %@ from array(id=%@)[%d] has failed. Error: %@", what, id(), at,
                       currentFailureText());
        return defaultValue;
    }
}

std::int64_t VKArray::getInteger(std::int64_t at, std::int64_t defaultValue) {
    return getTyped(at, defaultValue, "number", [](const VKNumber& n) { return n.value(); });
}

bool VKArray::getBool(std::int64_t at, bool defaultValue) {
    return getTyped(at, defaultValue, "boolean", [](const VKNumber& n) { return n.boolValue(); });
}

std::string VKArray::get(std::int64_t at, const std::string& defaultValue) {
    return getTyped(at, defaultValue, "string", [](const VKString& s) { return s.value(); });
}

bool VKArray::setObject(std::int64_t at, VKObjectPtr value, const char* what) {
    try {
        set(at, std::move(value));
        return true;
    } catch (...) {
        logger().error("Setting %@ to array(id=%@)[%d] has failed. Error: %@", what, id(), at,
                       currentFailureText());
        return false;
    }
}

bool VKArray::setInteger(std::int64_t at, std::int64_t value) {
    return setObject(at, std::make_shared<VKNumber>(value), "number");
}

bool VKArray::setBool(std::int64_t at, bool value) {
    return setObject(at, VKNumber::withBool(value), "boolean");
}

bool VKArray::set(std::int64_t at, const std::string& value) {
    return setObject(at, std::make_shared<VKString>(value), "string");
}

bool VKArray::appendObject(VKObjectPtr value, const char* what) {
    try {
        append(std::move(value));
        return true;
    } catch (...) {
        logger().error("Appending %@ to array(id=%@) has failed. Error: %@", what, id(),
                       currentFailureText());
        return false;
    }
}

bool VKArray::appendInteger(std::int64_t value) {
    return appendObject(std::make_shared<VKNumber>(value), "number");
}

bool VKArray::appendBool(bool value) {
    return appendObject(VKNumber::withBool(value), "boolean");
}

bool VKArray::append(const std::string& value) {
    return appendObject(std::make_shared<VKString>(value), "string");
}

VKArray::Subscript::operator VKObjectPtr() const {
    try {
        return array_.get(index_);
    } catch (...) {
        logger().error("Getting an object from array[%d] has failed (id=%@). Error: %@", index_,
                       array_.id(), currentFailureText());
        return nullptr;
    }
}

VKArray::Subscript& VKArray::Subscript::operator=(VKObjectPtr value) {
    try {
        if (value) {
            array_.set(index_, std::move(value));
        } else {
            array_.remove(index_);
        }
    } catch (...) {
        logger().error("Setting object to array[%d] has failed (id=%@). Error: %@", index_,
                       array_.id(), currentFailureText());
    }
    return *this;
}

std::shared_ptr<VKArray> VKArray::make(std::initializer_list<VKObjectPtr> elements) {
    auto array = make(elements.size());
    try {
        for (const auto& element : elements) {
            array->append(element);
        }
    } catch (...) {
        logger().error("Can't initialize with literals. Error: %@", currentFailureText());
    }
    return array;
}

}  // namespace velkor
