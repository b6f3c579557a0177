#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "internals/ContainerAccess.h"
#include "support/ErrorOf.h"
#include "values/ContainerProxyBase.h"
#include "values/client/ParentsOfContainer.h"
#include "velkor/VKArrayBase.h"
#include "velkor/VKDictionaryBase.h"
#include "velkor/VKError.h"
#include "velkor/VKScalars.h"

// Small concrete containers over the bases, with the locking that the client classes add, so
// that the bases and the container core can be exercised on their own.

namespace velkor::test {

using Access = detail::ContainerAccess;

class TestArray final : public VKArrayBase {
  public:
    static std::shared_ptr<TestArray> make(std::size_t capacity = 8) {
        return std::make_shared<TestArray>(capacity);
    }
    explicit TestArray(std::size_t capacity) : VKArrayBase(capacity) {}

    std::string description() const override { return "arr(id=" + id().description() + ")"; }
    std::size_t count() const override {
        return withReadItemsLock([&] { return innerItems().size(); });
    }

    /// Attaches a container with checks, then appends.
    void append(VKObjectPtr value) {
        withWriteItemsLock([&] {
            if (auto child = Access::asClientContainer(value)) {
                Access::addParent(*child, Access::sharedContainer(*this), true);
            }
            innerItems().push_back(std::move(value));
        });
    }
    ItemMutation set(std::size_t index, VKObjectPtr value) {
        return withWriteItemsLock(
            [&] { return Access::setInternal(*this, index, std::move(value)); });
    }
    VKObjectPtr at(std::size_t index) const {
        return withReadItemsLock([&] { return innerItems().at(index); });
    }
};

class TestDictionary final : public VKDictionaryBase {
  public:
    static std::shared_ptr<TestDictionary> make(std::size_t capacity = 8) {
        return std::make_shared<TestDictionary>(capacity);
    }
    explicit TestDictionary(std::size_t capacity) : VKDictionaryBase(capacity) {
        static constexpr ContainerHooks hooks{.prefetchInnerItems = &prefetchInnerItems};
        Access::setHooks(*this, hooks);
    }

    std::string description() const override { return "dic(id=" + id().description() + ")"; }
    std::size_t count() const override {
        return withReadItemsLock([&] { return innerItems().size(); });
    }

    ItemMutation set(const std::string& key, VKObjectPtr value) {
        return withWriteItemsLock(
            [&] { return Access::setInternal(*this, key, std::move(value)); });
    }
    ItemMutation remove(const std::string& key) {
        return withWriteItemsLock([&] { return Access::removeInternal(*this, key); });
    }
    void removeAll() {
        withWriteItemsLock([&] { Access::removeAllInternal(*this); });
    }
    VKObjectPtr get(const std::string& key) const {
        return withReadItemsLock([&]() -> VKObjectPtr {
            auto found = innerItems().find(key);
            return found == innerItems().end() ? nullptr : found->second;
        });
    }
    Items items() const {
        return withReadItemsLock([&] { return innerItems(); });
    }

    /// Enters every child container, as the client dictionary's prefetch does, and counts the
    /// visits.
    static void prefetchInnerItems(VKContainer& self, const KnownIds& known) {
        auto& dictionary = static_cast<TestDictionary&>(self);
        ++dictionary.prefetchVisits;
        if (!known) {
            return;
        }
        for (const auto& [key, value] : dictionary.innerItems()) {
            if (auto child = Access::asClientContainer(value)) {
                Access::prefetchContentInternal(*child, known);
            }
        }
    }

    std::atomic<int> prefetchVisits{0};
};

class TestProxy final : public ContainerProxyBase {
  public:
    static std::shared_ptr<TestProxy> make(const UUID& id) {
        auto proxy = std::make_shared<TestProxy>();
        Access::setId(*proxy, id);
        return proxy;
    }

    std::string description() const override { return "prx(id=" + id().description() + ")"; }
};

inline VKObjectPtr str(std::string text) {
    return std::make_shared<VKString>(std::move(text));
}
inline VKObjectPtr num(std::int64_t value) {
    return std::make_shared<VKNumber>(value);
}

/// The ids of the live parents of `c`, each checked against the parent it names.
inline std::vector<UUID> parentIds(const VKContainer& c) {
    std::vector<UUID> ids;
    for (const auto& [id, parent] : c.getAllParents()) {
        EXPECT_EQ(parent->id(), id);
        ids.push_back(id);
    }
    return ids;
}

/// How many parent entries `c` keeps, dead ones included.
inline std::size_t entryCount(const VKContainer& c) {
    return ParentsOfContainerBase::lock().sync([&] { return Access::parents(c).count(); });
}

}  // namespace velkor::test
