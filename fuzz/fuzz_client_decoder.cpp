// Decodes arbitrary bytes with the client decoder on a fresh connection, then walks what it
// built: every container must be registered and attached, reading an item (which resolves a
// proxy to the container the blob registered under its id) must never lead back to a container
// on the way down, and the tree must describe and encode again without trouble.
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "FuzzSupport.h"
#include "internals/ContainerAccess.h"
#include "internals/InnerConnection.h"
#include "registry/RegistryOfContainers.h"
#include "values/client/DeserializerOnClient.h"
#include "values/client/SerializerOnClient.h"
#include "velkor/Log.h"
#include "velkor/VKArray.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

using namespace velkor;

using velkor::fuzz::check;

namespace {

// A connection that only holds the registry: nothing is ever sent.
class RegistryOnlyConnection final : public InnerConnection {
  public:
    static std::shared_ptr<RegistryOnlyConnection> make() {
        auto connection = std::make_shared<RegistryOnlyConnection>();
        connection->registry_.setConnection(connection);
        return connection;
    }

    RegistryOfContainers& registryOfContainers() override { return registry_; }
    void unregisterContainer(const UUID& id) override { registry_.unregister(id); }
    void unregisterContainer(const UUID& id,
                             const std::weak_ptr<const VKContainerBase>& container) override {
        registry_.unregisterIfSame(id, container);
    }
    std::pair<ChangeResult, std::int64_t> publishChangeNotification(
        const ChangeNotificationPtr&) override {
        throw VKError(VKError::connectionLost);
    }
    // Resolves to what the blob itself registered, as a daemon serving the same tree would.
    std::shared_ptr<VKContainer> resolveContainerProxy(const UUID& id, bool) override {
        auto found = registry_.tryFind(id);
        if (!found || found->kind() == VKObjectBase::Kind::containerProxy)
            throw VKError(VKError::containerNotFound);
        return found;
    }
    void setHasSubscription(const UUID&, bool) override {}
    void schedule(std::function<void()>) override {}
    void scheduleAfterPushes(std::function<void()>, std::chrono::milliseconds) override {}
    rx::Observable<rx::Unit> asObservable() override { return {}; }
    void createSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                        VKOwnership) override {}
    OpenResult openOrCreateSettings(const std::shared_ptr<VKContainer>&, const std::string&,
                                    VKOwnership) override {
        throw VKError(VKError::connectionLost);
    }
    VKObjectPtr getSetting(const std::string&, const std::string&, bool, VKOwnership) override {
        return nullptr;
    }
    void deleteSettings(const std::string&, VKOwnership) override {}
    void dispose() override {}
    bool isDisposed() const override { return false; }
    std::chrono::nanoseconds requestTimeout() const override { return std::chrono::seconds(5); }

  private:
    RegistryOfContainers registry_;
};

// Visits each container once (a blob can share one container among many parents); `path` holds
// the containers on the way down, which no item may lead back to.
void walk(const VKObjectPtr& value, RegistryOnlyConnection& connection,
          std::unordered_set<const VKObjectBase*>& visited,
          std::unordered_set<const VKObjectBase*>& path) {
    check(value != nullptr);
    value->description();
    auto container = detail::ContainerAccess::asClientContainer(value);
    if (!container)
        return;
    check(!path.contains(container.get()));
    if (!visited.insert(container.get()).second)
        return;
    check(detail::ContainerAccess::innerConnection(*container).get() == &connection);
    auto registered = connection.registryOfContainers().tryFind(container->id());
    check(registered != nullptr && registered->id() == container->id());
    path.insert(container.get());
    auto read = [&](auto&& get) {
        try {
            walk(get(), connection, visited, path);
        } catch (const VKError&) {
            // A proxy whose container the blob does not hold stays unresolved.
        }
    };
    if (auto array = std::dynamic_pointer_cast<VKArray>(value)) {
        check(array->items().size() == array->count());
        for (std::int64_t i = 0; i < static_cast<std::int64_t>(array->count()); ++i)
            read([&] { return array->get(i); });
    } else if (auto dictionary = std::dynamic_pointer_cast<VKDictionary>(value)) {
        for (const auto& [key, item] : dictionary->items()) {
            check(dictionary->hasKey(key));
            read([&, k = key] { return dictionary->get(k); });
        }
    }
    path.erase(container.get());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    [[maybe_unused]] static const bool quiet = (setLogSink(nullptr, LogLevel::off), true);
    auto connection = RegistryOnlyConnection::make();
    auto decoder = DeserializerOnClient::make(Blob(data, size), connection);
    if (!decoder)
        return 0;
    auto value = decoder->decodeVKObject();
    if (!value)
        return 0;
    std::unordered_set<const VKObjectBase*> visited, path;
    walk(value, *connection, visited, path);
    // Attached containers travel as references: the encoding is the value's kind and id, or a
    // scalar's two items.
    SerializerOnClient encoder;
    serialize(*value, encoder);
    check(encoder.rememberedContainers().empty());
    return 0;
}
