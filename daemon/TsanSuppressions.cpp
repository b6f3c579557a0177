// ThreadSanitizer's suppressions for the programs that use the etcd client (velkord with the
// fleet, its tests and benchmarks), read by the sanitizer at start-up (the function is unused in
// other builds). Debian's gRPC (with its upb), abseil, protobuf and OpenSSL are not built
// with ThreadSanitizer: the locks and atomics with which gRPC's threads hand buffers, connections
// and messages to one another are invisible to it, so it reports every such hand-over as a race,
// in those libraries and in the parts of gRPC and protobuf inlined from their headers. Only
// reports with a frame in that code are suppressed; races between our own threads on our own
// state are still reported. gRPC also starts executor threads of its own, which it joins when
// it shuts down in the background: one may still be unjoined when velkord exits, which the
// sanitizer reports as a leaked thread; threads gRPC creates are left out of that check.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libgrpc.so\n"
           "race:libgrpc++.so\n"
           "race:libgpr.so\n"
           "race:libupb.so\n"
           "race:libabsl_\n"
           "race:libprotobuf.so\n"
           "race:libssl.so\n"
           "race:libcrypto.so\n"
           "race:/usr/include/grpcpp/\n"
           "race:/usr/include/google/protobuf/\n"
           "thread:libgpr.so\n";
}
