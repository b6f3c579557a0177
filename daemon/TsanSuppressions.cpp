// ThreadSanitizer's settings for the programs that use the etcd client (velkord with the fleet,
// its tests and benchmarks), read by the sanitizer at start-up (the functions are unused in other
// builds). Debian's gRPC (with its upb), abseil, protobuf and OpenSSL are not built with
// ThreadSanitizer: the locks and atomics with which gRPC's threads hand buffers, connections and
// messages to one another are invisible to it.
//
// Those libraries' calls of memcpy, memset and the like still reach the sanitizer's interceptors,
// which would report each hand-over as a race. Checking such calls only when they come from
// instrumented code leaves them out. That matters beyond noise: every report the sanitizer
// suppresses is compared with all those before it, so a program that moves thousands of etcd
// messages slowed down quadratically, by minutes over a test run.
extern "C" const char* __tsan_default_options() {
    return "ignore_noninstrumented_modules=1";
}

// What is left are accesses by instrumented code (ours, or gRPC's and protobuf's inlined from
// their headers) that gRPC orders through its invisible locks: such reports, with a frame of those
// libraries or headers on a stack, are suppressed; races between our own threads on our own state
// are still reported. gRPC also starts executor threads of its own, which it joins when it shuts
// down in the background: one may still be unjoined when velkord exits, which the sanitizer
// reports as a leaked thread; threads gRPC creates are left out of that check.
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
