// Decodes arbitrary bytes with the client decoder on a fresh connection, then walks what it
// built: every container must be registered and attached, and the tree must read, describe and
// encode again without trouble.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <unordered_set>
#include <vector>

#include "connection/RegistryOfContainers.h"
#include "internals/InnerConnection.h"
#include "values/client/DeserializerOnClient.h"
#include "values/client/SerializerOnClient.h"
#include "velkor/Log.h"
#include "velkor/VKArray.h"
#include "velkor/VKDictionary.h"
#include "velkor/VKError.h"

using namespace velkor;

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

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
    std::pair<ChangeResult, std::int64_t> publishChangeNotification(
        const ChangeNotificationPtr&) override {
        throw VKError(VKError::connectionLost);
    }
    std::shared_ptr<VKContainer> resolveContainerProxy(const UUID&, bool) override {
        throw VKError(VKError::connectionLost);
    }
    void setHasSubscription(const UUID&, bool) override {}
    void schedule(std::function<void()>) override {}
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

  private:
    RegistryOfContainers registry_;
};

// Visits each container once: a blob can share one container among many parents.
void walk(const VKObjectPtr& value, RegistryOnlyConnection& connection, int depth,
          std::unordered_set<const VKObjectBase*>& visited) {
    check(value != nullptr && depth <= DeserializerOnClient::kMaximumNesting + 1);
    value->description();
    auto container = VKContainer::asClientContainer(value);
    if (!container || !visited.insert(container.get()).second) {
        return;
    }
    check(container->innerConnection().get() == &connection);
    auto registered = connection.registryOfContainers().tryFind(container->id());
    check(registered != nullptr && registered->id() == container->id());
    if (auto array = std::dynamic_pointer_cast<VKArray>(value)) {
        auto items = array->items();
        check(items.size() == array->count());
        for (const auto& item : items) {
            walk(item, connection, depth + 1, visited);
        }
    } else if (auto dictionary = std::dynamic_pointer_cast<VKDictionary>(value)) {
        for (const auto& [key, item] : dictionary->items()) {
            check(dictionary->hasKey(key));
            walk(item, connection, depth + 1, visited);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = (setLogSink(nullptr, LogLevel::off), true);
    (void)quiet;
    auto connection = RegistryOnlyConnection::make();
    auto decoder = DeserializerOnClient::make(Blob(data, size), connection);
    if (!decoder) {
        return 0;
    }
    auto value = decoder->decodeVKObject();
    if (!value) {
        return 0;
    }
    std::unordered_set<const VKObjectBase*> visited;
    walk(value, *connection, 0, visited);
    // Attached containers travel as references: the encoding is the value's kind and id, or a
    // scalar's two items.
    SerializerOnClient encoder;
    value->serialize(encoder);
    check(encoder.rememberedContainers().empty());
    return 0;
}
