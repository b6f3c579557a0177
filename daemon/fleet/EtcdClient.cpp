#include "fleet/EtcdClient.h"

#include <algorithm>

#include "etcd.grpc.pb.h"
#include "fleet/EtcdCalls.h"
#include "fleet/EtcdChannels.h"
#include "fleet/EtcdMessages.h"

namespace velkor::fleet {

namespace {

bool changes(const std::vector<EtcdOp>& ops) {
    return std::any_of(ops.begin(), ops.end(),
                       [](const EtcdOp& op) { return op.type != EtcdOp::Type::range; });
}

}  // namespace

EtcdClient::EtcdClient(const EtcdOptions& options)
    : channels_(std::make_shared<EtcdChannels>(options)) {}

EtcdClient::~EtcdClient() = default;

EtcdTxnResult EtcdClient::txn(const std::vector<EtcdCompare>& compares,
                              const std::vector<EtcdOp>& success,
                              const std::vector<EtcdOp>& failure, EtcdDeadline deadline,
                              EtcdRetry retry) {
    etcdserverpb::TxnRequest request;
    for (const auto& compare : compares)
        toMessage(compare, *request.add_compare());
    for (const auto& op : success)
        toMessage(op, *request.add_success());
    for (const auto& op : failure)
        toMessage(op, *request.add_failure());
    etcdserverpb::TxnResponse response;
    callWithFailover(*channels_, "etcd transaction", changes(success) || changes(failure), deadline,
                     retry, [&](const auto& channel, grpc::ClientContext& context) {
                         response.Clear();
                         return etcdserverpb::KV::Stub(channel).Txn(&context, request, &response);
                     });
    EtcdTxnResult result{response.succeeded(), response.header().revision(), {}};
    for (const auto& op : response.responses())
        result.results.push_back(fromMessage(op));
    return result;
}

EtcdRangeResult EtcdClient::get(const std::string& key, EtcdDeadline deadline, int64_t revision) {
    return range(key, {}, deadline, revision);
}

EtcdRangeResult EtcdClient::getPrefix(const std::string& prefix, EtcdDeadline deadline,
                                      int64_t revision) {
    return range(prefix, etcdPrefixEnd(prefix), deadline, revision);
}

EtcdRangeResult EtcdClient::range(const std::string& key, const std::string& rangeEnd,
                                  EtcdDeadline deadline, int64_t revision) {
    etcdserverpb::RangeRequest request;
    request.set_key(key);
    request.set_range_end(rangeEnd);
    request.set_revision(revision);
    etcdserverpb::RangeResponse response;
    callWithFailover(*channels_, "etcd range read", false, deadline, EtcdRetry::untilDeadline,
                     [&](const auto& channel, grpc::ClientContext& context) {
                         response.Clear();
                         return etcdserverpb::KV::Stub(channel).Range(&context, request, &response);
                     });
    EtcdRangeResult result{response.header().revision(), {}};
    for (const auto& kv : response.kvs())
        result.kvs.push_back(fromMessage(kv));
    return result;
}

int64_t EtcdClient::put(const std::string& key, const std::string& value, EtcdDeadline deadline) {
    return txn({}, {EtcdOp::put(key, value)}, {}, deadline).revision;
}

int64_t EtcdClient::remove(const std::string& key, EtcdDeadline deadline) {
    return txn({}, {EtcdOp::remove(key)}, {}, deadline).revision;
}

int64_t EtcdClient::removePrefix(const std::string& prefix, EtcdDeadline deadline) {
    return txn({}, {EtcdOp::removePrefix(prefix)}, {}, deadline).revision;
}

void EtcdClient::compact(int64_t revision, EtcdDeadline deadline) {
    etcdserverpb::CompactionRequest request;
    request.set_revision(revision);
    etcdserverpb::CompactionResponse response;
    callWithFailover(*channels_, "etcd compaction", true, deadline, EtcdRetry::untilDeadline,
                     [&](const auto& channel, grpc::ClientContext& context) {
                         return etcdserverpb::KV::Stub(channel).Compact(&context, request,
                                                                        &response);
                     });
}

std::unique_ptr<EtcdWatcher> EtcdClient::watch(const std::string& prefix, int64_t startRevision,
                                               EtcdWatcher::Callback callback,
                                               EtcdWatcher::Reach reach) {
    return std::make_unique<EtcdWatcher>(channels_, prefix, startRevision, std::move(callback),
                                         std::move(reach));
}

std::string EtcdClient::currentEndpoint() const {
    return channels_->endpoint(channels_->preferred());
}

}  // namespace velkor::fleet
