#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "velkor/VKObjectBase.h"

namespace velkor {

/// An event published to the observers of one container when the daemon reports a change that
/// another client made, or when the container's settings file is deleted.
class VKContainerChange {
  public:
    struct DidDictionaryChildAdd {
        std::string key;
        VKObjectPtr newChild;
    };
    struct DidArrayChildAdd {
        std::int64_t index;
        VKObjectPtr newChild;
    };
    /// Carries the value that was replaced; the new one is read from the container.
    struct DidDictionaryChildReplace {
        std::string key;
        VKObjectPtr oldChild;
    };
    /// Carries the value that was replaced; the new one is read from the container.
    struct DidArrayChildReplace {
        std::int64_t index;
        VKObjectPtr oldChild;
    };
    struct DidDictionaryChildRemove {
        std::string key;
        VKObjectPtr oldChild;
    };
    struct DidArrayChildRemove {
        std::int64_t index;
        VKObjectPtr oldChild;
    };
    /// Posted on a root container when a container below it changed; `path` is that container's
    /// path in the settings file.
    struct DidDescendantChange {
        std::shared_ptr<VKContainer> child;
        std::string path;
    };
    struct DidRemoveAll {};
    struct DidDelete {};

    using Payload = std::variant<DidDictionaryChildAdd, DidArrayChildAdd, DidDictionaryChildReplace,
                                 DidArrayChildReplace, DidDictionaryChildRemove,
                                 DidArrayChildRemove, DidDescendantChange, DidRemoveAll, DidDelete>;

    template <typename T>
    requires std::is_constructible_v<Payload, T&&> VKContainerChange(T&& payload)
        : payload_(std::forward<T>(payload)) {}  // NOLINT: a union

    const Payload& payload() const { return payload_; }

    template <typename T>
    const T* get() const {
        return std::get_if<T>(&payload_);
    }

    /// A text form for logs and tools, e.g. "didDictionaryChildAdd(key=a)".
    std::string description() const;

  private:
    Payload payload_;
};

}  // namespace velkor
