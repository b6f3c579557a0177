// A one-shot client of velkord that the integration tests run under another uid (setpriv), to
// see what the daemon and the bus policy allow that user. It prints one line and exits 0 once it
// has an answer, 1 when it has none, 2 on a usage error.
//
//   velkor_bus_probe ADDRESS SERVICE fetch USER DOMAIN    the answer to fetchSettings
//   velkor_bus_probe ADDRESS SERVICE delete USER DOMAIN   the answer to deleteSettings
//   velkor_bus_probe ADDRESS SERVICE fill USER DOMAIN COUNT BYTES
//       creates the file as an empty dictionary, then sets COUNT keys to data values of BYTES
//       bytes each, one at a time; the answers, joined by "; "
//   velkor_bus_probe ADDRESS SERVICE flood USER DOMAIN COUNT
//       sends COUNT fetches of the file and never reads: prints "sent COUNT PID" once they
//       are out, then waits to be killed
//   velkor_bus_probe ADDRESS SERVICE call INTERFACE MEMBER
//       calls a member without arguments on the daemon's object: "ok", or the D-Bus error name
//   velkor_bus_probe ADDRESS SERVICE own                  "owned", or the D-Bus error name

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>

#include "basalt/ArchiveWriter.h"
#include "dbus/BusError.h"
#include "internals/SettingsService.h"
#include "support/DaemonClient.h"

using namespace velkor;

namespace {

// Messages of tens of megabytes take sd-bus many seconds to receive under ThreadSanitizer (it
// grows its buffer by reallocation), on either side: answers to them are waited for longer.
constexpr std::chrono::minutes kBigMessagePatience{2};

int print(const std::string& line) {
    std::printf("%s\n", line.c_str());
    return 0;
}

/// Asks the bus for `name` directly, so that a refusal shows as the bus's error.
std::string own(dbus::BusConnection& bus, const std::string& name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    int r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "RequestName", &error, &reply, "su",
                               name.c_str(), 0u);
    dbus::Message owned(reply);
    std::string result = r < 0 ? (error.name ? error.name : "failed") : "owned";
    sd_bus_error_free(&error);
    return result;
}

std::string answerText(const std::optional<dbus::ReceivedResponse>& answer) {
    return answer && answer->response ? answer->response->description() : "nothing";
}

/// Creates the file and fills it; see the usage above.
std::string fill(test::DaemonClient& client, std::uint32_t user, const std::string& domain,
                 int count, std::size_t bytes) {
    const UUID root = UUID::random();
    basalt::ArchiveWriter dictionary;
    dictionary.encodeInteger(4).encodeBytes(root.bytes()).encodeInteger(0).encodeInteger(0);
    dictionary.encodeInteger(0);
    std::string result = answerText(client.request(
        ClientRequest::CreateSettings{Blob(dictionary.takeArchiverData()), domain, user}));
    const std::vector<std::uint8_t> payload(bytes, 0x5A);
    std::int64_t revision = 0;
    for (int i = 0; i < count; ++i) {
        basalt::ArchiveWriter value;
        value.encodeInteger(2).encodeBytes(payload);
        auto answer = client.request(
            ClientRequest::UpdateSettings{std::make_shared<const VKChangeNotification>(
                ChangeType::childInserted, root, revision, 0, 0, "v" + std::to_string(i),
                value.takeArchiverData())},
            kBigMessagePatience);
        if (answer && answer->response) {
            if (const auto* updated = answer->response->get<ServerResponse::SettingsUpdated>())
                revision = updated->newRevision;
        }
        result += "; " + answerText(answer);
    }
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4)
        return 2;
    const std::string address = argv[1], service = argv[2], mode = argv[3];
    try {
        if (mode == "own" && argc == 4) {
            auto bus = dbus::BusConnection::open(address);
            return print(own(bus, service));
        }
        test::DaemonClient client(address, service);
        if (mode == "call" && argc == 6) {
            sd_bus_message* raw = nullptr;
            dbus::BusError::check(
                sd_bus_message_new_method_call(client.bus().get(), &raw, service.c_str(),
                                               dbus_names::kObjectPath, argv[4], argv[5]),
                "Building a call");
            dbus::Message call(raw);
            std::string error = client.callForError(call);
            return print(error.empty() ? "ok" : error);
        }
        if ((mode == "fetch" || mode == "delete") && argc == 6) {
            const auto user = static_cast<std::uint32_t>(std::stoul(argv[4]));
            const std::string domain = argv[5];
            auto answer =
                mode == "fetch"
                    ? client.request(ClientRequest::FetchSettings{domain, user, "", false},
                                     kBigMessagePatience)
                    : client.request(ClientRequest::DeleteSettings{domain, user});
            if (!answer || !answer->response)
                return 1;
            return print(answer->response->description());
        }
        if (mode == "fill" && argc == 8) {
            return print(fill(client, static_cast<std::uint32_t>(std::stoul(argv[4])), argv[5],
                              std::stoi(argv[6]), std::stoul(argv[7])));
        }
        if (mode == "flood" && argc == 7) {
            const int count = std::stoi(argv[6]);
            for (int i = 0; i < count; ++i) {
                client.send(ClientRequest::FetchSettings{
                    argv[5], static_cast<std::uint32_t>(std::stoul(argv[4])), "", false});
            }
            dbus::BusError::check(sd_bus_flush(client.bus().get()), "Flushing the requests");
            std::printf("sent %d %d\n", count, static_cast<int>(getpid()));
            std::fflush(stdout);
            for (;;)
                pause();
        }
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "velkor_bus_probe: %s\n", e.what());
        return 1;
    }
}
