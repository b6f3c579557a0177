#include "fleet/EtcdTypes.h"

namespace velkor::fleet {

std::string etcdPrefixEnd(const std::string& prefix) {
    std::string end = prefix;
    // Increment the last byte that can be; bytes 0xff roll over into the one before them.
    while (!end.empty()) {
        auto& last = reinterpret_cast<unsigned char&>(end.back());
        if (last < 0xff) {
            ++last;
            return end;
        }
        end.pop_back();
    }
    return std::string(1, '\0');
}

EtcdCompare EtcdCompare::modRevisionIs(const std::string& key, int64_t revision) {
    return {key, Target::modRevision, Result::equal, revision, {}};
}

EtcdCompare EtcdCompare::absent(const std::string& key) {
    return {key, Target::version, Result::equal, 0, {}};
}

EtcdOp EtcdOp::get(const std::string& key) {
    return {Type::range, key, {}, {}};
}

EtcdOp EtcdOp::getPrefix(const std::string& prefix) {
    return {Type::range, prefix, etcdPrefixEnd(prefix), {}};
}

EtcdOp EtcdOp::put(const std::string& key, const std::string& value) {
    return {Type::put, key, {}, value};
}

EtcdOp EtcdOp::remove(const std::string& key) {
    return {Type::deleteRange, key, {}, {}};
}

EtcdOp EtcdOp::removePrefix(const std::string& prefix) {
    return {Type::deleteRange, prefix, etcdPrefixEnd(prefix), {}};
}

}  // namespace velkor::fleet
