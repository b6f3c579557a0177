#include "values/SerializerBase.h"

#include "internals/BlobLayout.h"
#include "internals/ContainerAccess.h"
#include "velkor/VKContainer.h"
#include "velkor/VKScalars.h"

namespace velkor {

bool SerializerBase::rememberContainer(const std::shared_ptr<VKContainer>& container) {
    auto [it, inserted] = rememberedContainers_.insert_or_assign(container->id(), container);
    (void)it;
    return !inserted;
}

void serialize(const VKObjectBase& value, SerializerBase& serializer) {
    using Kind = VKObjectBase::Kind;
    switch (value.kind()) {
        case Kind::number:
            blob::writeNumber(serializer, static_cast<const VKNumber&>(value).value());
            return;
        case Kind::string:
            blob::writeString(serializer, static_cast<const VKString&>(value).value());
            return;
        case Kind::data:
            blob::writeData(serializer, static_cast<const VKData&>(value).value());
            return;
        case Kind::array:
        case Kind::dictionary:
        case Kind::containerProxy:
            detail::ContainerAccess::serialize(static_cast<const VKContainer&>(value), serializer);
            return;
    }
}

}  // namespace velkor
