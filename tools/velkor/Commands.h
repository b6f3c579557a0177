#pragma once

#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "Session.h"
#include "SettingsPath.h"
#include "velkor/VKContainer.h"
#include "velkor/VKError.h"
#include "velkor/VKOwnership.h"

namespace velkor::cli {

/// The one-shot commands of the tool, on the settings file of one domain and owner. Each takes
/// the session's current connection, throws VKError or CommandError on failure and writes its
/// result to the output stream.
class Commands {
  public:
    Commands(Session& session, std::string domain, VKOwnership ownership, std::ostream& out);

    /// Prints the value at `path` as indented JSON; containers are fetched with everything
    /// below them.
    void get(const SettingsPath& path);

    /// Stores `value` at `path` (below the root). A missing settings file is created; missing
    /// keys on the way are created as dictionaries; an array index equal to the array's count
    /// appends. Nothing is changed when `value` cannot be stored.
    void set(const SettingsPath& path, const nlohmann::json& value);

    /// Removes the value at `path` (below the root); a missing key or index is notFound.
    void remove(const SettingsPath& path);

    /// Deletes the whole settings file.
    void deleteFile();

    /// Prints the keys (in byte order) of the dictionary, or the indexes of the array, at
    /// `path`, one per line.
    void list(const SettingsPath& path);

    /// Prints the whole settings file as indented JSON.
    void exportFile();

    /// Makes the settings file hold `document` (a JSON object or array): creates the file when
    /// it is missing, updates it in place when its root is of the same kind (see Importer), and
    /// otherwise deletes it and creates it anew. The document is checked in full first. When the
    /// daemon refuses part of it, the file is put back as it was (when even that fails, its
    /// former content is saved to a private file in the temporary directory, which the error
    /// names) and the refusal is thrown as a CommandError.
    void importFile(const nlohmann::json& document);

  private:
    /// The value at `path`, fetched in full when `recursive`. When there is none, the error
    /// says which part of the path names nothing, as PathWalk's do.
    VKObjectPtr valueAt(const SettingsPath& path, bool recursive);
    /// Gives the file whose root is `root` the content of `document`.
    void replaceFile(const VKContainerPtr& root, const nlohmann::json& document);
    /// Opens the file, or creates it holding `document`: in one request when the daemon takes
    /// it, else created empty and filled entry by entry (see Importer); a file created so is
    /// deleted again when the daemon refuses part of the document, and the refusal is thrown.
    VKConnection::OpenResult openOrCreate(const nlohmann::json& document);
    /// Puts the file back to `before` after the import was refused with `refusal`; throws a
    /// CommandError when that fails.
    void restore(const nlohmann::json& before, const VKError& refusal);

    Session& session_;
    std::string domain_;
    VKOwnership ownership_;
    std::ostream& out_;
};

}  // namespace velkor::cli
