#pragma once

#include "etcd.pb.h"
#include "fleet/EtcdTypes.h"

namespace velkor::fleet {

/// Conversions between the client's own types and etcd's wire messages.
EtcdKeyValue fromMessage(const mvccpb::KeyValue& message);
EtcdEvent fromMessage(const mvccpb::Event& message);
EtcdOpResult fromMessage(const etcdserverpb::ResponseOp& message);
void toMessage(const EtcdCompare& compare, etcdserverpb::Compare& message);
void toMessage(const EtcdOp& op, etcdserverpb::RequestOp& message);

}  // namespace velkor::fleet
