#pragma once

#include <memory>

#include "velkor/VKArray.h"
#include "velkor/VKContainer.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKScalars.h"

namespace velkor {

// Conversions of a value to one of its classes: the same object, or empty when it is of another
// class. They test the class, not the kind: a proxy for a container not fetched yet is a
// VKContainer but neither a VKArray nor a VKDictionary.

inline std::shared_ptr<VKNumber> asNumber(const VKObjectPtr& v) {
    return std::dynamic_pointer_cast<VKNumber>(v);
}
inline std::shared_ptr<VKString> asString(const VKObjectPtr& v) {
    return std::dynamic_pointer_cast<VKString>(v);
}
inline std::shared_ptr<VKData> asData(const VKObjectPtr& v) {
    return std::dynamic_pointer_cast<VKData>(v);
}
inline std::shared_ptr<VKContainer> asContainer(const VKObjectPtr& v) {
    return std::dynamic_pointer_cast<VKContainer>(v);
}
inline std::shared_ptr<VKArray> asArray(const VKObjectPtr& v) {
    return std::dynamic_pointer_cast<VKArray>(v);
}
inline std::shared_ptr<VKDictionary> asDictionary(const VKObjectPtr& v) {
    return std::dynamic_pointer_cast<VKDictionary>(v);
}

}  // namespace velkor
