#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "DaemonBusTesting.h"
#include "internals/SettingsService.h"

using namespace velkor;
using namespace velkor::test;

namespace {

const std::filesystem::path kData = std::filesystem::path(kSourceDir) / "daemon" / "data";

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

/// What an introspection description says of one method or signal.
struct Member {
    std::string signature;  ///< the types of its arguments, concatenated
    std::string arguments;  ///< "name:type" of each argument, space-separated
    bool noReply = false;   ///< annotated as one-way
    bool operator==(const Member&) const = default;
};

/// The `element`s (method or signal) of an introspection description, by name.
std::map<std::string, Member> members(const std::string& xml, const std::string& element) {
    std::map<std::string, Member> found;
    const std::regex block("<" + element + " name=\"(\\w+)\">([\\s\\S]*?)</" + element + ">");
    const std::regex arg("<arg [^>]*>");
    const std::regex name("name=\"([^\"]+)\"");
    const std::regex type("type=\"([^\"]+)\"");
    for (std::sregex_iterator it(xml.begin(), xml.end(), block), end; it != end; ++it) {
        const std::string body = (*it)[2];
        Member member;
        for (std::sregex_iterator a(body.begin(), body.end(), arg); a != end; ++a) {
            const std::string text = a->str();
            std::smatch n, t;
            std::regex_search(text, n, name);
            std::regex_search(text, t, type);
            member.signature += t[1];
            member.arguments +=
                (member.arguments.empty() ? "" : " ") + n[1].str() + ":" + t[1].str();
        }
        member.noReply = body.find("\"org.freedesktop.DBus.Method.NoReply\" value=\"true\"") !=
                         std::string::npos;
        found[(*it)[1]] = member;
    }
    return found;
}

/// The part of an introspection description that describes `interface`.
std::string interfacePart(const std::string& xml, const std::string& interface) {
    const auto start = xml.find("<interface name=\"" + interface + "\">");
    if (start == std::string::npos)
        return "";
    return xml.substr(start, xml.find("</interface>", start) - start);
}

/// A dbus-daemon with the system bus's default policy (everything denied that is not opened)
/// and the daemon's policy file, listening in a temporary directory.
class SystemTypeBus {
  public:
    SystemTypeBus() {
        std::ofstream(dir_.file("bus.conf"))
            << "<busconfig><type>system</type><listen>unix:path=" << dir_.file("bus")
            << "</listen><auth>EXTERNAL</auth><policy context='default'>"
               "<allow user='*'/><deny own='*'/><deny send_type='method_call'/>"
               "<allow send_type='signal'/><allow send_requested_reply='true' "
               "send_type='method_return'/><allow send_requested_reply='true' send_type='error'/>"
               "<allow receive_type='method_call'/><allow receive_type='method_return'/>"
               "<allow receive_type='error'/><allow receive_type='signal'/>"
               "<allow send_destination='org.freedesktop.DBus' "
               "send_interface='org.freedesktop.DBus'/></policy><include>"
            << (kData / "org.velkor.SettingsDaemon.conf").string() << "</include></busconfig>";
        // The socket directory must be reachable by the client that runs as another user.
        std::filesystem::permissions(dir_.file(""), std::filesystem::perms(0755));
        std::istringstream out(run("dbus-daemon --config-file=" + dir_.file("bus.conf") +
                                   " --fork --nopidfile --print-address=1 --print-pid=1")
                                   .second);
        out >> address_ >> pid_;
    }
    ~SystemTypeBus() {
        if (pid_ > 0)
            kill(pid_, SIGTERM);
    }

    const std::string& address() const { return address_; }

  private:
    TempDir dir_;
    std::string address_;
    pid_t pid_ = -1;
};

}  // namespace

class LiveIntrospectionTest : public DaemonBusTest {};

TEST_F(LiveIntrospectionTest, TheDaemonDescribesItselfAsTheInstalledFilesAndTheLibraryDo) {
    auto client = connect();
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* raw = nullptr;
    ASSERT_GE(
        sd_bus_call_method(client->bus().get(), kService.c_str(), dbus_names::kObjectPath,
                           "org.freedesktop.DBus.Introspectable", "Introspect", &error, &raw, ""),
        0);
    dbus::Message reply(raw);
    const char* xml = nullptr;
    ASSERT_GE(sd_bus_message_read(reply.get(), "s", &xml), 0);
    const std::string live = xml;

    const auto requests =
        members(contents(kData / "org.velkor.SettingsRequestService.xml"), "method");
    EXPECT_EQ(members(interfacePart(live, dbus_names::kRequestInterface), "method"), requests);
    ASSERT_EQ(requests.size(), std::size(SettingsRequestService::kMembers));
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::string member = SettingsRequestService::kMembers[i];
        EXPECT_EQ(requests.count(member) ? requests.at(member).signature : "missing",
                  SettingsRequestService::kSignatures[i]);
        EXPECT_TRUE(requests.count(member) && requests.at(member).noReply) << member;
    }
    const auto responses =
        members(contents(kData / "org.velkor.SettingsResponseService.xml"), "signal");
    EXPECT_EQ(members(interfacePart(live, dbus_names::kResponseInterface), "signal"), responses);
    ASSERT_EQ(responses.size(), std::size(SettingsResponseService::kMembers));
    for (std::size_t i = 0; i < responses.size(); ++i) {
        const std::string member = SettingsResponseService::kMembers[i];
        EXPECT_EQ(responses.count(member) ? responses.at(member).signature : "missing",
                  SettingsResponseService::kSignatures[i]);
    }
}

TEST(InstalledDataTest, SystemPolicyLetsRootOwnTheNameAndEveryoneCallOnlyTheRequests) {
    if (geteuid() != 0)
        GTEST_SKIP() << "owning the name and switching users need root";
    SystemTypeBus bus;
    ASSERT_FALSE(bus.address().empty()) << "the system-type bus did not start";
    TempDir dir;
    // Root may own the name: the daemon comes up.
    TestDaemon velkord({kVelkord, bus.address(), dir.file("settings.db")});

    const std::string denied = "org.freedesktop.DBus.Error.AccessDenied";
    EXPECT_EQ(probe(true, bus.address(), "own"), denied);
    // Requests go through, and their answers, signals addressed to the caller, come back.
    EXPECT_EQ(probe(true, bus.address(), "fetch 65534 org.example.app"), kNoAccess);
    EXPECT_EQ(probe(false, bus.address(), "fetch 1 org.example.app"), kNoAccess);
    // Its description and Peer are open to everyone, as on any service; nothing else of the
    // daemon is reachable, for root either.
    for (bool asNobody : {true, false}) {
        EXPECT_EQ(
            probe(asNobody, bus.address(), "call org.freedesktop.DBus.Introspectable Introspect"),
            "ok");
        EXPECT_EQ(probe(asNobody, bus.address(), "call org.freedesktop.DBus.Peer Ping"), "ok");
        EXPECT_EQ(probe(asNobody, bus.address(), "call org.freedesktop.DBus.Properties GetAll"),
                  denied);
    }

    // The daemon may ping a client that has a megabyte of answers to read, to learn whether it
    // reads them; the client's next answer comes after the ping's reply was handled.
    DaemonClient client(bus.address());
    const Node tree = dict(newId(), {{"big", dat(std::string(1100 * 1024, 'b'))}});
    ASSERT_EQ(text(client.request(createRequest(tree, 0, "org.example.big"))), "requestSucceeded");
    EXPECT_EQ(fetchedTree(client.request(fetchRequest(0, "org.example.big"))).count(), 1u);
    EXPECT_EQ(text(client.request(fetchRequest(0, "org.example.none"))), kNoAccess);
    EXPECT_EQ(velkord.log().find("does not let velkord ping"), std::string::npos) << velkord.log();
}
