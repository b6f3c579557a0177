#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <typeindex>
#include <unordered_map>
#include <utility>

namespace velkor::di {

/// How long a resolved object lives. `transient` builds a new object on every resolution;
/// `container` builds one on first resolution and hands the same one out afterwards.
enum class ObjectScope { transient, container };

class Resolver;

/// The registration of one factory; lets the caller choose its scope.
class ServiceEntry {
  public:
    ServiceEntry& inObjectScope(ObjectScope scope);

  private:
    friend class Container;
    friend class Resolver;
    std::function<std::shared_ptr<void>(const Resolver&)> factory;
    ObjectScope scope = ObjectScope::transient;
    std::shared_ptr<void> instance;  // the cached object of a `container`-scoped entry
    std::mutex instanceMutex;
};

/// Resolves services by type and optional name. Safe to use from any thread.
class Resolver {
  public:
    virtual ~Resolver() = default;

    /// The object built by the factory registered for T (and `name`), or empty when none is.
    template <typename T>
    std::shared_ptr<T> resolve(const std::string& name = {}) const {
        return std::static_pointer_cast<T>(resolveErased(std::type_index(typeid(T)), name));
    }

  protected:
    struct State {
        std::shared_mutex mutex;
        std::unordered_map<std::string, std::shared_ptr<ServiceEntry>> entries;
    };

    Resolver() = default;

    /// The registrations, or none once the container is gone.
    virtual std::shared_ptr<State> state() const = 0;

    static std::string keyFor(std::type_index type, const std::string& name);
    std::shared_ptr<void> resolveErased(std::type_index type, const std::string& name) const;
};

/// A small dependency container: the host registers factories by service type (with an optional
/// name) and the library resolves them. Registering again for the same type and name replaces
/// the earlier registration.
class Container : public Resolver {
  public:
    Container() : state_(std::make_shared<State>()) {}

    /// Registers `factory` for service type T. The factory receives a resolver for the services
    /// it needs itself and runs without any lock of the container held.
    template <typename T, typename F>
    ServiceEntry& registerFactory(F&& factory, const std::string& name = {}) {
        auto entry = std::make_shared<ServiceEntry>();
        entry->factory =
            [f = std::forward<F>(factory)](const Resolver& r) -> std::shared_ptr<void> {
            std::shared_ptr<T> built = f(r);
            return built;
        };
        return add(std::type_index(typeid(T)), name, std::move(entry));
    }

    /// A resolver over this container's registrations that may be used from any thread. It
    /// refers to them weakly, so that factories may keep it without keeping the container alive;
    /// once the container is gone it resolves nothing.
    std::shared_ptr<Resolver> synchronize() const;

  protected:
    std::shared_ptr<State> state() const override { return state_; }

  private:
    ServiceEntry& add(std::type_index type, const std::string& name,
                      std::shared_ptr<ServiceEntry> entry);

    std::shared_ptr<State> state_;
};

}  // namespace velkor::di
