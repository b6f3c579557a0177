#pragma once

#include "velkor/VKObjectBase.h"

namespace velkor::daemon {

/// The kind of a value as blobs and the store write it: the library's own kinds, whose raw values
/// are part of the wire format, so that both ends read one definition. `containerProxy` (5)
/// stands for a reference to a container: a child the store keeps as a link, and a proxy in the
/// daemon's answers.
using ValueKind = VKObjectBase::Kind;

inline bool isContainer(ValueKind kind) {
    return kind == ValueKind::array || kind == ValueKind::dictionary;
}

}  // namespace velkor::daemon
