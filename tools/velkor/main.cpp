// velkor: reads, changes and watches the settings that velkord keeps, from the command line.
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "CommandError.h"
#include "Commands.h"
#include "DaemonStatus.h"
#include "JsonMapping.h"
#include "Session.h"
#include "SettingsPath.h"
#include "Watcher.h"
#include "basalt/Utf8.h"
#include "velkor/Log.h"
#include "velkor/Version.h"

using namespace velkor;
using namespace velkor::cli;

namespace {

constexpr const char* kFooter =
    R"(Values are JSON: dictionaries are objects, arrays are arrays, numbers are signed
64-bit integers, strings are strings and byte strings are {"$data": "<base64>"}.
true and false are stored as 1 and 0; floating-point numbers and null are refused.
Paths name values inside a file: "a/b/0" is key "b" of key "a", then index 0.

Exit status:
  0  success
  1  usage error or bad input (bad JSON, bad path, a value that cannot be stored)
  2  no such settings file (or one you may not access), or no value at the path
  3  the daemon refused the request (e.g. a conflict) or failed
  4  the daemon cannot be reached, or the connection to it was lost)";

struct Arguments {
    std::string domain;
    std::string path;
    std::string value;
    std::string busAddress;
    std::uint32_t user = 0;
    bool shared = false;
    bool verbose = false;
};

// Prints "velkor: COMMAND DOMAIN [PATH]: MESSAGE" and gives the exit status.
int fail(const std::string& context, const CommandError& error) {
    std::cerr << "velkor: " << context << ": " << error.what() << std::endl;
    return static_cast<int>(error.exitCode());
}

CLI::App* addCommand(CLI::App& app, Arguments& args, const std::string& name,
                     const std::string& description) {
    auto* command = app.add_subcommand(name, description);
    command->footer(kFooter);
    command->add_option("DOMAIN", args.domain, "The settings file, e.g. org.example.app")
        ->required();
    return command;
}

// VALUE as JSON. Text that is not JSON at all and does not begin as a string, an array or an
// object is most likely a string written without its quotes: the error then says how to write
// one. JSON that cannot be stored (a fraction, null) keeps its own error.
nlohmann::json parseValue(const std::string& value) {
    try {
        return JsonMapping::parse(value, "VALUE");
    } catch (const CommandError& error) {
        const auto first = value.find_first_not_of(" \t\n\r");
        if (first == std::string::npos ||
            std::string_view("{[\"").find(value[first]) != std::string_view::npos ||
            nlohmann::json::accept(value))
            throw;
        std::string hint = "; a string is written in double quotes";
        // The example is for a shell: only text that single quotes can hold as it stands.
        if (value.find('\'') == std::string::npos && basalt::isUtf8(value))
            hint += ", e.g. '" + nlohmann::json(value).dump() + "'";
        throw CommandError::badInput(error.what() + hint);
    }
}

// velkord refuses an empty domain, one longer than 255 bytes and one that is not UTF-8; checking
// here says which.
void checkDomain(const std::string& domain) {
    constexpr std::size_t maxBytes = 255;
    if (domain.empty())
        throw CommandError(ExitCode::badInput, "DOMAIN is empty");
    if (!basalt::isUtf8(domain))
        throw CommandError(ExitCode::badInput, "DOMAIN is not valid UTF-8");
    if (domain.size() > maxBytes)
        throw CommandError(ExitCode::badInput, "DOMAIN is " + std::to_string(domain.size()) +
                                                   " bytes long; at most " +
                                                   std::to_string(maxBytes) + " are allowed");
}

void addPath(CLI::App* command, Arguments& args, bool required, const std::string& description) {
    command->add_option("PATH", args.path, description)->required(required);
}

}  // namespace

int main(int argc, char** argv) {
    // The library's own log lines would repeat the error the tool prints; VELKOR_LOG_LEVEL
    // turns them on.
    if (!std::getenv("VELKOR_LOG_LEVEL"))
        setLogSink(nullptr, LogLevel::off);

    CLI::App app{"Reads, changes and watches the settings that velkord keeps.", "velkor"};
    app.footer(kFooter);
    app.set_version_flag("--version", std::string("velkor ") + versionString());
    app.require_subcommand(1);
    app.fallthrough();
    Arguments args;
    auto* user =
        app.add_option("--user", args.user, "Use the settings of user number N (default: your own)")
            ->type_name("N")
            // 4294967295 is (uid_t)-1, which names no user.
            ->check(CLI::Range(std::uint32_t{0}, std::uint32_t{4294967294}));
    auto* shared =
        app.add_flag("--shared", args.shared, "Use the shared, system-wide settings (user 1)");
    user->excludes(shared);
    app.add_option("--bus-address", args.busAddress,
                   "Reach the daemon on this D-Bus address instead of the system bus")
        ->type_name("ADDRESS");
    app.add_flag("--verbose", args.verbose,
                 "Print how the daemon is reached (a direct channel or the bus) and the library's "
                 "other notes of info level and above to standard error");

    auto* get = addCommand(app, args, "get", "Print the value at PATH as indented JSON");
    addPath(get, args, false, "Where the value is (default: the whole file)");
    auto* set = addCommand(
        app, args, "set", "Store VALUE (JSON) at PATH, creating the file and missing dictionaries");
    addPath(set, args, true, "Where to store the value, e.g. window/size");
    set->add_option("VALUE", args.value, "The value as JSON, e.g. 42, '\"text\"' or '{\"a\": [1]}'")
        ->required();
    auto* rm = addCommand(app, args, "rm", "Remove the value at PATH");
    addPath(rm, args, true, "The value to remove");
    addCommand(app, args, "delete", "Delete the whole settings file");
    auto* ls = addCommand(app, args, "ls", "List the keys or indexes at PATH");
    addPath(ls, args, false, "The dictionary or array (default: the root)");
    addCommand(app, args, "export", "Print the whole settings file as JSON");
    addCommand(app, args, "import", "Make the file hold the JSON read from standard input");
    auto* watch =
        addCommand(app, args, "watch", "Print one JSON line per change at PATH until interrupted");
    addPath(watch, args, false, "The value to watch (default: the whole file)");
    addCommand(app, args, "status",
               "Say where velkord keeps the file: on this machine, or in the fleet's etcd "
               "cluster, and whether the fleet can be reached");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : static_cast<int>(ExitCode::badInput);
    }
    if (args.verbose)
        setLogSink(nullptr, LogLevel::info);

    const std::string name = app.get_subcommands().front()->get_name();
    const std::string context =
        name + " " + args.domain + (args.path.empty() ? "" : " " + args.path);
    const VKOwnership ownership = user->count() > 0 ? VKOwnership::user(args.user)
                                  : args.shared     ? VKOwnership::shared()
                                                    : VKOwnership::realUser();
    try {
        // Input is checked in full before the daemon is asked anything.
        checkDomain(args.domain);
        const auto path = SettingsPath::parse(args.path);
        nlohmann::json input;
        if (name == "set")
            input = parseValue(args.value);
        if (name == "import")
            input = JsonMapping::parse(std::string(std::istreambuf_iterator<char>(std::cin), {}),
                                       "standard input");
        if (name == "status") {
            DaemonStatus::read(args.busAddress).print(std::cout, args.domain, ownership);
            return 0;
        }
        if (name == "watch")
            Watcher::blockStopSignals();
        Session session(args.busAddress);
        if (name == "watch") {
            Watcher(session, args.domain, path, ownership, std::cout, std::cerr).run();
            return 0;
        }
        Commands commands(session, args.domain, ownership, std::cout);
        if (name == "get")
            commands.get(path);
        else if (name == "set")
            commands.set(path, input);
        else if (name == "rm")
            commands.remove(path);
        else if (name == "delete")
            commands.deleteFile();
        else if (name == "ls")
            commands.list(path);
        else if (name == "export")
            commands.exportFile();
        else
            commands.importFile(input);
        if (!std::cout.flush())
            throw CommandError(ExitCode::refused, "cannot write to standard output");
    } catch (const CommandError& e) {
        return fail(context, e);
    } catch (const VKError& e) {
        return fail(context, CommandError::fromError(e));
    } catch (const std::exception& e) {
        return fail(context, CommandError(ExitCode::refused, e.what()));
    }
    return 0;
}
