#include "fleet/EtcdMessages.h"

namespace velkor::fleet {

EtcdKeyValue fromMessage(const mvccpb::KeyValue& message) {
    return {message.key(), message.value(), message.create_revision(), message.mod_revision(),
            message.version()};
}

EtcdEvent fromMessage(const mvccpb::Event& message) {
    return {
        message.type() == mvccpb::Event::DELETE ? EtcdEvent::Type::remove : EtcdEvent::Type::put,
        fromMessage(message.kv())};
}

EtcdOpResult fromMessage(const etcdserverpb::ResponseOp& message) {
    EtcdOpResult result;
    if (message.has_response_range()) {
        for (const auto& kv : message.response_range().kvs())
            result.kvs.push_back(fromMessage(kv));
    } else if (message.has_response_delete_range()) {
        result.deleted = message.response_delete_range().deleted();
    }
    return result;
}

void toMessage(const EtcdCompare& compare, etcdserverpb::Compare& message) {
    using Wire = etcdserverpb::Compare;
    message.set_key(compare.key);
    switch (compare.result) {
        case EtcdCompare::Result::equal:
            message.set_result(Wire::EQUAL);
            break;
        case EtcdCompare::Result::greater:
            message.set_result(Wire::GREATER);
            break;
        case EtcdCompare::Result::less:
            message.set_result(Wire::LESS);
            break;
        case EtcdCompare::Result::notEqual:
            message.set_result(Wire::NOT_EQUAL);
            break;
    }
    switch (compare.target) {
        case EtcdCompare::Target::version:
            message.set_target(Wire::VERSION);
            message.set_version(compare.number);
            break;
        case EtcdCompare::Target::createRevision:
            message.set_target(Wire::CREATE);
            message.set_create_revision(compare.number);
            break;
        case EtcdCompare::Target::modRevision:
            message.set_target(Wire::MOD);
            message.set_mod_revision(compare.number);
            break;
        case EtcdCompare::Target::value:
            message.set_target(Wire::VALUE);
            message.set_value(compare.value);
            break;
    }
}

void toMessage(const EtcdOp& op, etcdserverpb::RequestOp& message) {
    switch (op.type) {
        case EtcdOp::Type::range: {
            auto& range = *message.mutable_request_range();
            range.set_key(op.key);
            range.set_range_end(op.rangeEnd);
            break;
        }
        case EtcdOp::Type::put: {
            auto& put = *message.mutable_request_put();
            put.set_key(op.key);
            put.set_value(op.value);
            break;
        }
        case EtcdOp::Type::deleteRange: {
            auto& remove = *message.mutable_request_delete_range();
            remove.set_key(op.key);
            remove.set_range_end(op.rangeEnd);
            break;
        }
    }
}

}  // namespace velkor::fleet
