#pragma once

#include <cstddef>

namespace velkor::fleet {

/// The largest etcd transaction one change of fleet files may make, and the most that
/// `--fleet-max-change-size` allows. etcd recommends requests of 10 MiB at most (it warns at
/// start when `--max-request-bytes` is larger), and its write-ahead log refuses, when a member
/// starts and replays it, an entry of 10 MiB or more: a member restarted after committing a
/// larger one cannot start again, and a cluster whose members all restart loses the fleet. Each
/// entry holds the request in an envelope of its own, hence the margin below 10 MiB. It is also
/// below the decoder's cap on a blob (`BlobDecoder::maxBlobSize`), so that every container
/// written to etcd is one every velkord reads back.
inline constexpr std::size_t kMaxChangeBytes = 9 * 1024 * 1024;

}  // namespace velkor::fleet
