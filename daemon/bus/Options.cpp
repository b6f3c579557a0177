#include "bus/Options.h"

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "velkor/BKProductDefines.h"
#include "velkor/Version.h"

namespace velkor::daemon {

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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    options.durability = durability == "full" ? Durability::full : Durability::normal;
    if (!logLevel.empty())
        options.logLevel = parseLogLevel(logLevel);
    return options;
}

}  // namespace velkor::daemon
