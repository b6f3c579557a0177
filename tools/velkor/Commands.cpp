#include "Commands.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "CommandError.h"
#include "Importer.h"
#include "JsonMapping.h"
#include "PathWalk.h"
#include "velkor/VKConversions.h"

namespace velkor::cli {

namespace {

// `value` as a new local value, wrapped in new dictionaries for the parts of `path` from
// `from` + 1 on: what to store under part `from` when that key is missing.
VKObjectPtr nested(const SettingsPath& path, std::size_t from, const nlohmann::json& value) {
    auto item = JsonMapping::fromJson(value);
    for (std::size_t i = path.parts().size() - 1; i > from; --i) {
        auto dictionary = VKDictionary::make();
        dictionary->set(path.parts()[i], std::move(item));
        item = std::move(dictionary);
    }
    return item;
}

}  // namespace

Commands::Commands(Session& session, std::string domain, VKOwnership ownership, std::ostream& out)
    : session_(session), domain_(std::move(domain)), ownership_(ownership), out_(out) {}

VKObjectPtr Commands::valueAt(const SettingsPath& path, bool recursive) {
    try {
        return session_.connection()->getSetting(domain_, path.text(), recursive, ownership_);
    } catch (const VKError& e) {
        if (e.code() != VKError::pathDoesNotExist)
            throw;
    }
    // Walks down from the root to the part that names nothing.
    auto value = session_.connection()->getSetting(domain_, "", false, ownership_);
    for (std::size_t step = 0; step < path.parts().size(); ++step) {
        value = PathWalk::child(value, path, step);
        if (!value)
            throw PathWalk::noValue(path, step, "no key \"" + path.parts()[step] + "\"");
    }
    // The value has come into being since: it is fetched once more.
    return session_.connection()->getSetting(domain_, path.text(), recursive, ownership_);
}

void Commands::get(const SettingsPath& path) {
    auto value = valueAt(path, true);
    out_ << JsonMapping::dump(JsonMapping::toJson(value), 2) << '\n';
}

void Commands::set(const SettingsPath& path, const nlohmann::json& value) {
    if (path.isRoot())
        throw CommandError::badInput("set needs a PATH (use import to replace the whole file)");
    // A new file is created with the value already in place, in one request.
    auto fresh = VKDictionary::make();
    fresh->set(path.parts().front(), nested(path, 0, value));
    auto opened = session_.connection()->openOrCreateSettings(fresh, domain_, ownership_);
    if (!opened.isExist)
        return;
    VKObjectPtr current = opened.rootContainer;
    for (std::size_t step = 0; step + 1 < path.parts().size(); ++step) {
        auto next = PathWalk::child(current, path, step);
        if (!next) {
            asDictionary(current)->set(path.parts()[step], nested(path, step, value));
            return;
        }
        current = std::move(next);
    }
    PathWalk::store(current, path, JsonMapping::fromJson(value));
}

void Commands::remove(const SettingsPath& path) {
    if (path.isRoot())
        throw CommandError::badInput("rm needs a PATH (use delete to remove the whole file)");
    PathWalk::remove(valueAt(path.parent(), false), path);
}

void Commands::deleteFile() {
    session_.connection()->deleteSettings(domain_, ownership_);
}

void Commands::list(const SettingsPath& path) {
    auto value = valueAt(path, false);
    if (auto dictionary = asDictionary(value)) {
        std::vector<std::string> keys;
        for (const auto& entry : dictionary->items())
            keys.push_back(entry.first);
        std::sort(keys.begin(), keys.end());
        for (const auto& key : keys)
            out_ << key << '\n';
    } else if (auto array = asArray(value)) {
        for (std::size_t i = 0; i < array->count(); ++i)
            out_ << i << '\n';
    } else {
        throw CommandError::badInput("the value at \"" + path.text() + "\" is a " +
                                     std::string(VKObjectBase::kindDescription(value->kind())) +
                                     "; it has no items");
    }
}

void Commands::exportFile() {
    get(SettingsPath());
}

void Commands::importFile(const nlohmann::json& document) {
    if (!document.is_array() && !(document.is_object() && !JsonMapping::isData(document))) {
        throw CommandError::badInput(
            "import needs a JSON object or array at the top level, not " +
            std::string(JsonMapping::isData(document) ? "a byte string" : document.type_name()));
    }
    auto opened = openOrCreate(document);
    if (!opened.isExist)
        return;
    // The daemon checks its limits change by change, so it may refuse the document part-way:
    // the file is then put back as it was.
    const auto before = JsonMapping::toJson(opened.rootContainer);
    try {
        replaceFile(opened.rootContainer, document);
    } catch (const VKError& error) {
        restore(before, error);
        throw CommandError::fromError(error, "the file is as it was before the import");
    }
}

void Commands::replaceFile(const VKContainerPtr& root, const nlohmann::json& document) {
    if (Importer::fits(root, document)) {
        Importer::replaceContents(root, document);
        return;
    }
    session_.connection()->deleteSettings(domain_, ownership_);
    openOrCreate(document);
}

VKConnection::OpenResult Commands::openOrCreate(const nlohmann::json& document) {
    auto connection = session_.connection();
    try {
        return connection->openOrCreateSettings(asContainer(JsonMapping::fromJson(document)),
                                                domain_, ownership_);
    } catch (const VKError& error) {
        if (error != VKError::invalidData)
            throw;
    }
    // Past what the daemon takes in one request (or past the file's limits, which filling it
    // then finds): the file is created empty and filled entry by entry.
    auto opened =
        connection->openOrCreateSettings(Importer::emptyOfKind(document), domain_, ownership_);
    if (opened.isExist)
        return opened;
    try {
        Importer::replaceContents(opened.rootContainer, document);
    } catch (const VKError& refusal) {
        // The file did not exist: it does not stay half-filled.
        try {
            connection->deleteSettings(domain_, ownership_);
        } catch (const VKError& failure) {
            throw CommandError::fromError(
                refusal, "deleting the part of the document stored failed as well (" +
                             std::string(failure.localizedDescription()) + ")");
        }
        throw;
    }
    return opened;
}

void Commands::restore(const nlohmann::json& before, const VKError& refusal) {
    try {
        auto opened = openOrCreate(before);
        if (opened.isExist)
            replaceFile(opened.rootContainer, before);
    } catch (const VKError& failure) {
        // The content is kept on disk rather than lost; only its owner may read it.
        std::string path =
            (std::filesystem::temp_directory_path() / "velkor-import-XXXXXX").string();
        const int fd = mkstemp(path.data());
        const std::string text = JsonMapping::dump(before, 2) + "\n";
        const bool saved =
            fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (fd >= 0)
            close(fd);
        throw CommandError::fromError(
            refusal, "putting the file back failed as well (" +
                         std::string(failure.localizedDescription()) + "); " +
                         (saved ? "its content before the import is in " + path
                                : "its content before the import could not be saved"));
    }
}

}  // namespace velkor::cli
