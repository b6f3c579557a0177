#pragma once

#include <string>
#include <vector>

namespace velkor::fleet {

/// Where and how to reach an etcd cluster.
struct EtcdOptions {
    /// The members' client addresses, "host:port" (an "http://" or "https://" prefix is
    /// ignored). Calls go to the member that answered last and fail over in this order.
    std::vector<std::string> endpoints;
    /// PEM files for TLS: the CA that signed the members' certificates, and the client's own
    /// certificate and key for members that require one. With none given, connections are plain.
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    /// etcd user and password; with a user given, every call carries the token that etcd's
    /// authentication hands out for them.
    std::string user;
    std::string password;
};

}  // namespace velkor::fleet
