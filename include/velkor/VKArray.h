#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "velkor/VKArrayBase.h"

namespace velkor {

/// An ordered container of values, indexed from 0.
///
/// Reads run under the array's read lock; an item that is a container not fetched yet is
/// fetched when it is read and stays in its place. A read of an attached array that another
/// thread's exchange with the daemon keeps locked waits within one request time-out, then throws
/// connectionLost (a typed getter gives its default). While the array is attached to a connection
/// every change that alters something is sent to the daemon and confirmed before the call
/// returns; a synchronization conflict undoes the local change and throws synchronizeConflict.
/// Observers hear only of the changes other clients make (and of deletion), on the
/// connection's scheduler.
///
/// Changes reported by the daemon are applied at the indexes of the record, which then gives
/// the array its revision:
/// - childChanged, childInserted, childAppended: the value of the record is set at `from`, or
///   inserted there (an append lands at the index the daemon reports); events
///   didArrayChildReplace (carrying the replaced value, a proxy as it stood) or
///   didArrayChildAdd;
/// - childRemoved at `from`: didArrayChildRemove; childMoved from `from` to `to`:
///   didArrayChildRemove at `from`, then didArrayChildAdd at `to`; childrenRemoved:
///   didRemoveAll;
/// - updateRevision: only the revision;
/// - containerDeleted: the array is detached from its connection and posts didDelete;
/// - containerAbandoned: the array is fetched again, stays the same object and takes the
///   daemon's content, with the events of what differs;
/// - descendantChanged and childrenReplaced carry nothing to apply and are ignored.
/// Except for the ignored ones, the root container of the array then posts
/// didDescendantChange with the array and its path (unless the array is the root; after
/// containerAbandoned only when something differed). A record that does not fit the array (an
/// index outside it, a value that cannot be decoded, a type that only the connection handles)
/// changes nothing and throws invalidData.
class VKArray final : public VKArrayBase {
    struct Private {};

  public:
    /// A new local array with room for `minimumCapacity` items.
    static std::shared_ptr<VKArray> make(std::size_t minimumCapacity = 8);
    VKArray(Private, std::size_t minimumCapacity);
    ~VKArray() override;

    std::size_t count() const override;
    /// A copy of the items, with proxies as they stand.
    std::vector<VKObjectPtr> items() const;
    /// "arr(id=<id>, count=<count>)".
    std::string description() const override;

    /// The item at `at`; a container there that was not fetched yet is fetched first and
    /// replaces its proxy. Throws indexOutOfRange, and the errors of fetching.
    VKObjectPtr get(std::int64_t at);

    /// Replaces the item at `at`. An equal value changes nothing and sends nothing. Throws
    /// invalidData for an empty value, indexOutOfRange, circularReferences or notTheSameRoot
    /// (nothing changed), and the daemon's refusals, synchronizeConflict and the connection's
    /// errors: then the old item is back. After connectionLost the daemon may have taken the
    /// change all the same: the array is fetched again, with events for what differs, before its
    /// next change. The array is locked for the whole exchange with the daemon.
    void set(std::int64_t at, VKObjectPtr value);
    /// Inserts `value` before the item at `at` (at the end when `at` is the count); errors as
    /// set's.
    void insert(std::int64_t at, VKObjectPtr value);
    /// Appends `value` and returns the index where it stands once appended. The array is not
    /// locked while the daemon is asked, so other changes may come in between; the value is
    /// appended only once the daemon accepted it. Errors as set's, without indexOutOfRange;
    /// on an error nothing is appended. A conflict's error line names the index the value
    /// would have taken: the count when the daemon was asked.
    std::int64_t append(VKObjectPtr value);
    /// Appends each value in order; the first error stops, the values appended before stay.
    void append(const std::vector<VKObjectPtr>& contentsOf);
    /// Removes the item at `at`. Attached, the index is checked before asking the daemon and
    /// again after its acceptance (indexOutOfRange then means the daemon took the removal and
    /// the local array changed meanwhile).
    void remove(std::int64_t at);
    /// Moves the item at `from` to `to`. Nothing is checked or sent when both are equal;
    /// attached, the indexes are checked only after the daemon answered.
    void move(std::int64_t from, std::int64_t to);
    /// Removes every item.
    void removeAll();

    // ---- Typed access. None of these throws: a failure of the operation above is logged at
    // error level and gives the fallback (the default, false, empty). A value of another type
    // is not a failure: getters then give the default silently. Booleans are stored as the
    // numbers 1 and 0; the boolean getter is true for every non-zero number. The getters read
    // the item in place, taking no reference to it: reads from several threads write nothing
    // they share.

    /// The integer at `at`, or `defaultValue`.
    template <std::integral T>
    requires(!std::same_as<T, bool>) std::int64_t get(std::int64_t at, T defaultValue) {
        return getInteger(at, static_cast<std::int64_t>(defaultValue));
    }
    /// The boolean at `at`, or `defaultValue`.
    template <std::same_as<bool> B>
    bool get(std::int64_t at, B defaultValue) {
        return getBool(at, defaultValue);
    }
    /// The string at `at`, or `defaultValue`.
    std::string get(std::int64_t at, const std::string& defaultValue);

    /// Stores a new number, boolean (1 or 0) or string at `at`; false when that failed (the
    /// failure is logged). Check the result: a write the daemon did not take is not there.
    template <std::integral T>
    requires(!std::same_as<T, bool>) [[nodiscard]] bool set(std::int64_t at, T value) {
        return setInteger(at, static_cast<std::int64_t>(value));
    }
    template <std::same_as<bool> B>
    [[nodiscard]] bool set(std::int64_t at, B value) {
        return setBool(at, value);
    }
    [[nodiscard]] bool set(std::int64_t at, const std::string& value);

    /// Appends a new number, boolean (1 or 0) or string; false when that failed (logged).
    template <std::integral T>
    requires(!std::same_as<T, bool>) [[nodiscard]] bool append(T value) {
        return appendInteger(static_cast<std::int64_t>(value));
    }
    template <std::same_as<bool> B>
    [[nodiscard]] bool append(B value) {
        return appendBool(value);
    }
    [[nodiscard]] bool append(const std::string& value);

    /// `array[i]` reads the item (empty when that failed) and `array[i] = value` stores one;
    /// assigning an empty value removes the item.
    class Subscript {
      public:
        operator VKObjectPtr() const;  // NOLINT(google-explicit-constructor): reads as a value
        Subscript& operator=(VKObjectPtr value);

      private:
        friend class VKArray;
        Subscript(VKArray& array, std::int64_t index) : array_(array), index_(index) {}
        VKArray& array_;
        std::int64_t index_;
    };
    Subscript operator[](std::int64_t index) { return Subscript(*this, index); }

    /// An array of the given elements, appended in order; when one cannot be appended, the
    /// elements before it stay and the rest are dropped (logged).
    static std::shared_ptr<VKArray> make(std::initializer_list<VKObjectPtr> elements);

  private:
    template <typename Result, typename Convert>
    Result getTyped(std::int64_t at, Result defaultValue, const char* what, Convert convert);
    bool getBool(std::int64_t at, bool defaultValue);
    bool setBool(std::int64_t at, bool value);
    std::int64_t getInteger(std::int64_t at, std::int64_t defaultValue);
    bool setObject(std::int64_t at, VKObjectPtr value, const char* what);
    bool setInteger(std::int64_t at, std::int64_t value);
    bool appendObject(VKObjectPtr value, const char* what);
    bool appendInteger(std::int64_t value);
    bool appendBool(bool value);

    /// Whether `index` names an item; called under the items lock.
    bool inRange(std::int64_t index) const;
    /// Takes the item at `index` out and detaches it; called under the write lock.
    VKObjectPtr removeItem(std::size_t index);
    /// Moves the item at `from` to `to`; called under the write lock.
    void moveItem(std::size_t from, std::size_t to);

    friend class detail::ContainerAccess;
};

using VKArrayPtr = std::shared_ptr<VKArray>;

}  // namespace velkor
