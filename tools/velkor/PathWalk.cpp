#include "PathWalk.h"

#include "velkor/VKConversions.h"

namespace velkor::cli {

namespace {

std::string quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// A place for messages: the quoted path, or "the root".
std::string place(const SettingsPath& path) {
    return path.isRoot() ? "the root" : quoted(path.text());
}

// The array index that part `step` of `path` names in `array`; `room` more than the last index
// is allowed (1 to append).
std::int64_t indexIn(const VKArray& array, const SettingsPath& path, std::size_t step,
                     std::size_t room) {
    const auto& part = path.parts()[step];
    const auto index = SettingsPath::index(part);
    if (!index) {
        throw PathWalk::noValue(
            path, step,
            place(path.prefix(step)) + " is an array and " + quoted(part) + " is not an index");
    }
    const auto count = array.count();
    if (static_cast<std::uint64_t>(*index) >= count + room) {
        throw PathWalk::noValue(path, step,
                                "the array at " + place(path.prefix(step)) + " has " +
                                    std::to_string(count) + " items");
    }
    return *index;
}

CommandError notAContainer(const VKObjectPtr& value, const SettingsPath& path, std::size_t step) {
    return PathWalk::noValue(path, step,
                             place(path.prefix(step)) + " is a " +
                                 std::string(VKObjectBase::kindDescription(value->kind())) +
                                 ", not a dictionary or an array");
}

}  // namespace

VKObjectPtr PathWalk::child(const VKObjectPtr& value, const SettingsPath& path, std::size_t step) {
    if (auto dictionary = asDictionary(value))
        return dictionary->get(path.parts()[step]);
    if (auto array = asArray(value))
        return array->get(indexIn(*array, path, step, 0));
    throw notAContainer(value, path, step);
}

void PathWalk::store(const VKObjectPtr& value, const SettingsPath& path, VKObjectPtr item) {
    const std::size_t step = path.parts().size() - 1;
    if (auto dictionary = asDictionary(value)) {
        dictionary->set(path.last(), std::move(item));
        return;
    }
    if (auto array = asArray(value)) {
        const auto index = indexIn(*array, path, step, 1);
        if (static_cast<std::size_t>(index) == array->count())
            array->append(std::move(item));
        else
            array->set(index, std::move(item));
        return;
    }
    throw notAContainer(value, path, step);
}

void PathWalk::remove(const VKObjectPtr& value, const SettingsPath& path) {
    const std::size_t step = path.parts().size() - 1;
    if (auto dictionary = asDictionary(value)) {
        if (!dictionary->hasKey(path.last()))
            throw noValue(path, step, "no key " + quoted(path.last()));
        dictionary->remove(path.last());
        return;
    }
    if (auto array = asArray(value)) {
        array->remove(indexIn(*array, path, step, 0));
        return;
    }
    throw notAContainer(value, path, step);
}

CommandError PathWalk::noValue(const SettingsPath& path, std::size_t step,
                               const std::string& reason) {
    return CommandError::fromError(
        VKError::pathDoesNotExist,
        "nothing at " + place(path.prefix(step + 1)) + " (" + reason + ")");
}

}  // namespace velkor::cli
