#include "velkor/VKError.h"

namespace velkor {

namespace {

struct Texts {
    const char* description;
    const char* localized;
};

constexpr Texts kTexts[] = {
    {"CannotConnect",
     "Unable to connect to the Settings server (probably because it's not loaded)."},
    {"ConnectionLost", "Connection to the Settings server was lost."},
    {"FileAlreadyExists", "A settings file cannot be created because it already exists."},
    {"FileDoesNotExist", "A settings file does not exists (or cannot be accessed)."},
    {"PathDoesNotExist",
     "A settings file exists (and is accessible), but there is no such value under a specified "
     "path."},
    {"ContainerNotFound", "There was an attempt to resolve unknown server container."},
    {"IndexOutOfRange", "An array index is out of range [0, count)."},
    {"CircularReferences",
     "There was an attempt to create circular references between containers."},
    {"NotTheSameRoot", "Containers already associated with different settings files."},
    {"InvalidData", "General error indicating that an invalid value was supplied."},
    {"SynchronizeConflict", "There was synchronization conflict with server."},
    {"InvalidFileData", "A settings file exists but has invalid data."},
    {"ServerError", "Error on server side."},
    {"NotImplementedYet", "Not implemented yet."},
};

}  // namespace

std::optional<VKError> VKError::fromRawValue(std::int64_t raw) {
    if (raw < 0 || raw > notImplementedYet)
        return std::nullopt;
    return VKError(static_cast<Code>(raw));
}

std::string_view VKError::description() const {
    return kTexts[code_].description;
}

std::string_view VKError::localizedDescription() const {
    return kTexts[code_].localized;
}

const char* VKError::what() const noexcept {
    return kTexts[code_].description;
}

}  // namespace velkor
