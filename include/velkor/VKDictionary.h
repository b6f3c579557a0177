#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "velkor/VKDictionaryBase.h"

namespace velkor {

/// A container of values under text keys, in no particular order.
///
/// Reads run under the dictionary's read lock; a value that is a container not fetched yet is
/// fetched when it is read and stays under its key. A read of an attached dictionary that another
/// thread's exchange with the daemon keeps locked waits within one request time-out, then throws
/// connectionLost (a typed getter gives its default). While the dictionary is attached to a
/// connection every change that alters something is sent to the daemon and confirmed before the
/// call returns; a synchronization conflict undoes the local change and throws
/// synchronizeConflict. Observers hear only of the changes other clients make (and of
/// deletion), on the connection's scheduler.
///
/// Changes reported by the daemon are applied, and give the dictionary the record's revision:
/// - childChanged, childInserted: the record's value is set under its key; event
///   didDictionaryChildAdd for a new key, else didDictionaryChildReplace with the replaced
///   value (a replaced proxy is first resolved, and counts as no value when that fails);
/// - childRemoved: the key is removed; didDictionaryChildRemove with the removed value (no event
///   when the key was not there); childrenRemoved: every entry is removed; didRemoveAll;
/// - updateRevision: only the revision;
/// - containerDeleted: the dictionary is detached from its connection and posts didDelete;
/// - containerAbandoned: the dictionary is fetched again, stays the same object and takes the
///   daemon's content, with the events of what differs;
/// - descendantChanged and childrenReplaced carry nothing to apply and are ignored.
/// Except for the ignored ones, the root container of the dictionary then posts
/// didDescendantChange with the dictionary and its path (unless the dictionary is the root;
/// after containerAbandoned only when something differed). A record that does not fit a
/// dictionary (childAppended, childMoved, a value that cannot be decoded) changes nothing and
/// throws invalidData.
class VKDictionary final : public VKDictionaryBase {
    struct Private {};

  public:
    /// A new local dictionary with room for `minimumCapacity` entries.
    static std::shared_ptr<VKDictionary> make(std::size_t minimumCapacity = 8);
    VKDictionary(Private, std::size_t minimumCapacity);
    ~VKDictionary() override;

    std::size_t count() const override;
    /// A copy of the entries, with proxies as they stand.
    Items items() const;
    /// "dic(id=<id>, count=<count>)".
    std::string description() const override;
    bool hasKey(const std::string& key) const;

    /// The value under `at`, or none; a container there that was not fetched yet is fetched
    /// first and replaces its proxy. Throws the errors of fetching.
    VKObjectPtr get(const std::string& at);

    /// Sets the value under `at`. An equal value changes nothing and sends nothing. Throws
    /// invalidData for an empty value, circularReferences or notTheSameRoot (nothing changed),
    /// and the daemon's refusals, synchronizeConflict and the connection's errors: then the old
    /// value, or no entry, is back. After connectionLost the daemon may have taken the change all
    /// the same: the dictionary is fetched again, with events for what differs, before its next
    /// change. The dictionary is locked for the whole exchange with the daemon.
    void set(const std::string& at, VKObjectPtr value);
    /// Removes the value under `at`; a missing key changes nothing and sends nothing. Errors as
    /// set's; the dictionary is locked for the whole exchange.
    void remove(const std::string& at);
    /// Removes every entry. The dictionary is not locked while the daemon is asked; the entries
    /// are removed once it accepted.
    void removeAll();

    // ---- Typed access. None of these throws: a failure of the operation above is logged at
    // error level and gives the fallback (the default, false, empty). A missing key or a value
    // of another type is not a failure: getters then give the default silently. Booleans are
    // stored as the numbers 1 and 0; the boolean getter is true for every non-zero number. The
    // getters read the value in place, taking no reference to it: reads from several threads
    // write nothing they share.

    /// The integer under `at`, or `defaultValue`.
    template <std::integral T>
    requires(!std::same_as<T, bool>) std::int64_t get(const std::string& at, T defaultValue) {
        return getInteger(at, static_cast<std::int64_t>(defaultValue));
    }
    /// The boolean under `at`, or `defaultValue`.
    template <std::same_as<bool> B>
    bool get(const std::string& at, B defaultValue) {
        return getBool(at, defaultValue);
    }
    /// The string under `at`, or `defaultValue`.
    std::string get(const std::string& at, const std::string& defaultValue);

    /// Stores a new number, boolean (1 or 0) or string under `at`; false when that failed (the
    /// failure is logged). Check the result: a write the daemon did not take is not there.
    template <std::integral T>
    requires(!std::same_as<T, bool>) [[nodiscard]] bool set(const std::string& at, T value) {
        return setInteger(at, static_cast<std::int64_t>(value));
    }
    template <std::same_as<bool> B>
    [[nodiscard]] bool set(const std::string& at, B value) {
        return setBool(at, value);
    }
    [[nodiscard]] bool set(const std::string& at, const std::string& value);

    /// `dictionary["k"]` reads the value (empty when missing or when that failed) and
    /// `dictionary["k"] = value` stores one; assigning an empty value removes the key.
    class Subscript {
      public:
        operator VKObjectPtr() const;  // NOLINT(google-explicit-constructor): reads as a value
        Subscript& operator=(VKObjectPtr value);

      private:
        friend class VKDictionary;
        Subscript(VKDictionary& dictionary, std::string key)
            : dictionary_(dictionary), key_(std::move(key)) {}
        VKDictionary& dictionary_;
        std::string key_;
    };
    Subscript operator[](std::string key) { return Subscript(*this, std::move(key)); }

    /// A dictionary of the given entries, set in order; it stops at the first entry that cannot
    /// be set (logged).
    static std::shared_ptr<VKDictionary> make(
        std::initializer_list<std::pair<const std::string, VKObjectPtr>> entries);

  private:
    template <typename Result, typename Convert>
    Result getTyped(const std::string& at, Result defaultValue, const char* what, Convert convert);
    bool getBool(const std::string& at, bool defaultValue);
    bool setBool(const std::string& at, bool value);
    std::int64_t getInteger(const std::string& at, std::int64_t defaultValue);
    bool setObject(const std::string& at, VKObjectPtr value, const char* what);
    bool setInteger(const std::string& at, std::int64_t value);
};

using VKDictionaryPtr = std::shared_ptr<VKDictionary>;

}  // namespace velkor
