#include "bus/Options.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "velkor/BKProductDefines.h"
#include "velkor/Version.h"

namespace velkor::daemon {

namespace {

// An etcd member's client address: HOST:PORT, optionally after "http://" or "https://" as etcd
// prints them. What fails here would otherwise only show as a fleet that is never reachable.
const CLI::Validator etcdEndpoint(
    [](std::string& endpoint) -> std::string {
        std::string_view rest = endpoint;
        for (std::string_view scheme : {"http://", "https://"})
            if (rest.starts_with(scheme))
                rest.remove_prefix(scheme.size());
        const auto colon = rest.rfind(':');
        const auto port =
            colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
        unsigned number = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (colon == 0 || port.empty() || error != std::errc() ||
            end != port.data() + port.size() || number == 0 || number > 65535)
            return "\"" + endpoint + "\" is not HOST:PORT (a port of 1 to 65535)";
        return {};
    },
    "");

const CLI::Validator nonEmpty(
    [](std::string& text) -> std::string { return text.empty() ? "must not be empty" : ""; }, "");

}  // namespace

std::variant<Options, int> Options::parse(int argc, const char* const* argv) {
    Options options;
    options.serviceName = BKProductDefines()
                              .lookup(BKProductDefines::kDaemonServiceName)
                              .value_or(BKProductDefines::kDefaultDaemonServiceName);

    CLI::App app(
        "velkord, the Velkor settings daemon: keeps the machine's settings files and "
        "serves them on D-Bus.",
        "velkord");
    app.set_version_flag("--version", std::string("velkord ") + versionString());
    app.add_option("--bus-address", options.busAddress,
                   "D-Bus address of the bus to serve on (default: the system bus)");
    app.add_option("--db", options.databasePath, "Path of the settings store")
        ->capture_default_str();
    std::string durability = "normal";
    app.add_option("--durability", durability,
                   "normal: accepted changes survive a crash of the daemon; full: a power loss "
                   "as well (every commit is synced)")
        ->check(CLI::IsMember({"full", "normal"}))
        ->capture_default_str();
    app.add_option("--service-name", options.serviceName, "Well-known bus name to own")
        ->capture_default_str();
    std::vector<std::string> levels;
    for (auto level : {LogLevel::trace, LogLevel::debug, LogLevel::info, LogLevel::warning,
                       LogLevel::error, LogLevel::off})
        levels.emplace_back(logLevelName(level));
    std::string logLevel;
    app.add_option("--log-level", logLevel,
                   "Lowest level logged to standard error (default: $VELKOR_LOG_LEVEL, else "
                   "warning)")
        ->check(CLI::IsMember(levels));

    // Sizes in bytes, or with a suffix K, M or G (powers of 1024).
    auto sizeOption = [&](const char* name, std::size_t& value, const char* help) {
        app.add_option(name, value, help)
            ->transform(CLI::AsSizeValue(false))
            ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 40))
            ->capture_default_str();
    };
    sizeOption("--max-file-size", options.storeLimits.maxFileBytes,
               "Largest size of one settings file; changes past it are refused");
    const std::string answerHelp =
        "Largest answer or notice sent to a client; at most " +
        std::to_string(StoreLimits::kMaxAnswerLimit / 1024) + "K, since the bus carries " +
        std::to_string(StoreLimits::kBusMessageBytes / StoreLimits::kMiB) +
        "M at most in one message, its header included";
    sizeOption("--max-answer-size", options.storeLimits.maxAnswerBytes, answerHelp.c_str());

    app.add_option("--max-containers-per-request", options.storeLimits.maxContainersPerRequest,
                   "Containers one create or change may write; more are refused")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 24))
        ->capture_default_str();
    app.add_option("--max-file-containers", options.storeLimits.maxFileContainers,
                   "Containers one settings file may hold; changes past it are refused")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 24))
        ->capture_default_str();
    sizeOption("--max-user-size", options.storeLimits.maxUserBytes,
               "Largest total size of one user's settings files; changes past it are refused "
               "(root's are not bounded by it)");
    app.add_option("--max-user-files", options.storeLimits.maxUserFiles,
                   "Settings files one user may have; creating more is refused (root's are not "
                   "bounded by it)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 24))
        ->capture_default_str();
    app.add_option("--max-user-holdings", options.storeLimits.maxUserHoldings,
                   "Containers the clients of one user may hold, and subscription flags they "
                   "may keep, together; requests that would add more are refused (root's are "
                   "not bounded by it)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 30))
        ->capture_default_str();
    sizeOption("--max-unread-size", options.serviceLimits.maxUnreadBytes,
               "Answers and notices one client may leave unread before it lags behind: its "
               "requests then wait, and it is sent one record per changed container instead of "
               "the changes");
    sizeOption("--max-user-unread-size", options.serviceLimits.maxUserUnreadBytes,
               "Answers and notices all the clients of one user may leave unread before they "
               "all lag behind");
    double stallSeconds = std::chrono::duration<double>(options.serviceLimits.maxStallTime).count();
    app.add_option("--max-stall-time", stallSeconds,
                   "Seconds a client that lags behind may read nothing before a direct channel "
                   "is cut off, or a client on the bus stops holding its containers")
        ->check(CLI::Range(0.05, 86400.0))
        ->capture_default_str();
    sizeOption("--max-queued-size", options.serviceLimits.maxQueuedBytes,
               "Answers waiting for the bus past which no request is applied");
    sizeOption("--max-waiting-size", options.serviceLimits.maxWaitingBytes,
               "Blobs and values of one client's requests waiting to be applied past which "
               "they are refused (16M lets one largest request wait)");
    sizeOption("--max-user-waiting-size", options.serviceLimits.maxUserWaitingBytes,
               "The same for all the clients of one user");
    app.add_option("--max-waiting-requests", options.serviceLimits.maxWaitingRequests,
                   "Requests of one client waiting to be applied past which they are refused")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20))
        ->capture_default_str();

    app.add_flag("--no-direct-channels{false}", options.directChannels,
                 "Serve every client on the bus: hand out no direct channels");
    app.add_option("--max-channels-per-user", options.serviceLimits.maxChannelsPerUser,
                   "Direct channels one user may hold at a time; past it, its clients use the bus")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20))
        ->capture_default_str();

    auto& fleet = options.fleet;
    app.add_option("--fleet", fleet.endpoints,
                   "etcd members (host:port, comma-separated) that keep the fleet's files")
        ->delimiter(',')
        ->check(etcdEndpoint)
        ->type_name("HOST:PORT");
    app.add_option("--fleet-domains", fleet.domains,
                   "Domains whose shared file is a fleet file: shell patterns, comma-separated "
                   "(for example org.example.*)")
        ->delimiter(',')
        ->check(nonEmpty);
    // An empty prefix would make velkord read and watch every key of the cluster.
    app.add_option("--fleet-prefix", fleet.prefix, "Key prefix of the fleet's files in etcd")
        ->check(nonEmpty)
        ->capture_default_str();
    app.add_option("--fleet-cache", fleet.cachePath,
                   "Local copy of the fleet's files, served while etcd cannot be reached "
                   "(default: the store's path with .fleet added)");
    app.add_option("--fleet-cacert", fleet.caFile, "PEM file of the CA of the etcd members")
        ->check(CLI::ExistingFile);
    app.add_option("--fleet-cert", fleet.certFile, "PEM file of this machine's etcd certificate")
        ->check(CLI::ExistingFile);
    app.add_option("--fleet-key", fleet.keyFile, "PEM file of this machine's etcd key")
        ->check(CLI::ExistingFile);
    app.add_option("--fleet-user", fleet.user, "etcd user");
    app.add_option("--fleet-password-file", fleet.passwordFile,
                   "File holding the etcd user's password")
        ->check(CLI::ExistingFile);
    double fleetSeconds = std::chrono::duration<double>(fleet.timeout).count();
    app.add_option("--fleet-timeout", fleetSeconds,
                   "Seconds a fleet request may wait for etcd before it is refused")
        ->check(CLI::Range(0.1, 60.0))
        ->capture_default_str();
    app.add_option("--fleet-max-change-size", fleet.maxChangeBytes,
                   "Largest etcd transaction one fleet change may make; larger changes are "
                   "refused. At most 9M, below what etcd's members replay from their logs; lower "
                   "it to what the members' --max-request-bytes takes")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::size_t{64} * 1024, fleet::kMaxChangeBytes))
        ->capture_default_str();

    app.add_option("--max-log-lines", options.logLinesPerClient,
                   "Lines about one client's bad or refused requests logged per minute (ten "
                   "times as many in all)")
        ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20))
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    if (options.storeLimits.maxAnswerBytes > StoreLimits::kMaxAnswerLimit) {
        std::fprintf(stderr,
                     "velkord: --max-answer-size must be at most %zuK: the bus carries at most "
                     "%zuM in one message, its header included.\n",
                     StoreLimits::kMaxAnswerLimit / 1024,
                     StoreLimits::kBusMessageBytes / StoreLimits::kMiB);
        return 2;
    }
    if (options.storeLimits.maxFileBytes > options.storeLimits.maxAnswerBytes) {
        std::fprintf(stderr, "velkord: --max-file-size must not exceed --max-answer-size.\n");
        return 2;
    }
    options.serviceLimits.maxStallTime =
        std::chrono::milliseconds(static_cast<std::int64_t>(stallSeconds * 1000));
    if (const char* contradiction = options.serviceLimits.contradiction()) {
        std::fprintf(stderr, "velkord: %s.\n", contradiction);
        return 2;
    }
    if (fleet.endpoints.empty() != fleet.domains.empty()) {
        std::fprintf(stderr, "velkord: --fleet and --fleet-domains go together.\n");
        return 2;
    }
    for (auto& pattern : fleet.domains)
        for (auto& c : pattern)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    fleet.timeout = std::chrono::milliseconds(static_cast<std::int64_t>(fleetSeconds * 1000));
    if (fleet.cachePath.empty())
        fleet.cachePath =
            options.databasePath == ":memory:" ? ":memory:" : options.databasePath + ".fleet";
    options.durability = durability == "full" ? Durability::full : Durability::normal;
    if (!logLevel.empty())
        options.logLevel = parseLogLevel(logLevel);
    return options;
}

}  // namespace velkor::daemon
