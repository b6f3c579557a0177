#pragma once

#include <memory>
#include <string>

#include "velkor/VKObjectBase.h"
#include "velkor/VKOwnership.h"
#include "velkor/rx/Disposable.h"
#include "velkor/rx/Observable.h"
#include "velkor/rx/Unit.h"

namespace velkor {

class VKArray;
class VKContainer;
class VKDictionary;

/// A connection to the settings daemon: opens, creates, fetches and deletes the settings of a
/// domain. Every operation blocks its caller for at most 5 seconds per request to the daemon and
/// throws VKError on failure. Operations without an ownership mean the process's real user.
/// Safe to use from several threads at once.
class VKConnection : public rx::Disposable {
  public:
    struct OpenResult {
        std::shared_ptr<VKContainer> rootContainer;
        bool isExist;  ///< true when the settings existed, false when this call created them
    };

    /// Never delivers a value; completes when the connection to the daemon is lost.
    virtual rx::Observable<rx::Unit> asObservable() = 0;

    /// Creates the settings of `domain` from the local tree `root`; fails with
    /// fileAlreadyExists when they exist, and with invalidData when `root` is empty.
    virtual void createSettings(const std::shared_ptr<VKContainer>& root, const std::string& domain,
                                VKOwnership ownership = VKOwnership::realUser()) = 0;

    /// Opens the settings of `domain`, creating them from `root` when they do not exist; fails
    /// with invalidData when `root` is empty.
    virtual OpenResult openOrCreateSettings(const std::shared_ptr<VKContainer>& root,
                                            const std::string& domain,
                                            VKOwnership ownership = VKOwnership::realUser()) = 0;

    /// The value at `path` ("a/b/0": dictionary keys and array indexes) of the settings of
    /// `domain`; the root for the empty path. Slashes at the path's start and end are ignored
    /// ("/" names the root too), so a path cannot name a key that contains "/", nor an empty
    /// key as its first or last part: read those with their dictionary's `get`. With
    /// `recursiveFetch` a container arrives with everything below it, otherwise sub-containers
    /// are fetched when first read.
    virtual VKObjectPtr getSetting(const std::string& domain, const std::string& path = {},
                                   bool recursiveFetch = false,
                                   VKOwnership ownership = VKOwnership::realUser()) = 0;

    /// getSetting for a value of a known class (VKDictionary, VKArray, VKNumber, VKData…), without
    /// a cast. Throws what getSetting throws, and invalidData (logged) when the value at `path`
    /// is of another class.
    template <typename T>
    std::shared_ptr<T> getSettingAs(const std::string& domain, const std::string& path = {},
                                    bool recursiveFetch = false,
                                    VKOwnership ownership = VKOwnership::realUser()) {
        auto value = getSetting(domain, path, recursiveFetch, ownership);
        auto typed = std::dynamic_pointer_cast<T>(value);
        if (!typed)
            refuseSettingOfAnotherClass(domain, path, value);
        return typed;
    }

    /// Deletes the whole settings file of `domain`.
    virtual void deleteSettings(const std::string& domain,
                                VKOwnership ownership = VKOwnership::realUser()) = 0;

    // ---- Typed openers: openOrCreateSettings for a root of a known class, without casts ----

    /// Opens the settings of `domain` whose root is a dictionary, creating them as an empty
    /// dictionary when they do not exist. Throws what openOrCreateSettings throws, and
    /// invalidData (logged) when the file's root is an array.
    std::shared_ptr<VKDictionary> openDictionary(const std::string& domain,
                                                 VKOwnership ownership = VKOwnership::realUser());
    /// As above, creating the settings from `root` when they do not exist (then `root` itself
    /// is the opened root); `root` is not used when they exist.
    std::shared_ptr<VKDictionary> openDictionary(const std::shared_ptr<VKDictionary>& root,
                                                 const std::string& domain,
                                                 VKOwnership ownership = VKOwnership::realUser());
    /// Opens the settings of `domain` whose root is an array, creating them as an empty array
    /// when they do not exist. Throws what openOrCreateSettings throws, and invalidData (logged)
    /// when the file's root is a dictionary.
    std::shared_ptr<VKArray> openArray(const std::string& domain,
                                       VKOwnership ownership = VKOwnership::realUser());
    /// As above, creating the settings from `root` when they do not exist.
    std::shared_ptr<VKArray> openArray(const std::shared_ptr<VKArray>& root,
                                       const std::string& domain,
                                       VKOwnership ownership = VKOwnership::realUser());

  private:
    /// Logs that the value at `path` is not of the class asked for, and throws invalidData.
    [[noreturn]] static void refuseSettingOfAnotherClass(const std::string& domain,
                                                         const std::string& path,
                                                         const VKObjectPtr& value);
};

using VKConnectionPtr = std::shared_ptr<VKConnection>;

}  // namespace velkor
