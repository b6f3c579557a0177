#include "DaemonBusTesting.h"
#include "dbus/MessageWriter.h"
#include "internals/SettingsService.h"

using namespace velkor;
using namespace velkor::test;

namespace {

constexpr std::size_t kHuge = 20 * 1024 * 1024;  // past the daemon's 16 MiB limit on blobs

class MalformedCallsTest : public DaemonBusTest {
  protected:
    /// A call to the daemon, one-way unless `expectReply`.
    dbus::Message call(const char* member, bool expectReply = false,
                       const char* interface = dbus_names::kRequestInterface,
                       const char* path = dbus_names::kObjectPath) {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_method_call(attacker->bus().get(), &raw, kService.c_str(),
                                                 path, interface, member),
                  0);
        sd_bus_message_set_expect_reply(raw, expectReply ? 1 : 0);
        return dbus::Message(raw);
    }

    /// The error of a call that expects a reply, whose arguments `write` appends.
    template <typename F>
    std::string errorOf(dbus::Message message, F&& write) {
        dbus::MessageWriter out(message.get());
        write(out);
        return attacker->callForError(message);
    }

    /// Sends a one-way call whose arguments `write` appends after a fresh tag; the answer. The
    /// wait is long: under ThreadSanitizer, receiving a message of tens of megabytes alone takes
    /// sd-bus many seconds (it grows its buffer by reallocation as the message comes in).
    template <typename F>
    std::string answerTo(const char* member, F&& write) {
        auto message = call(member);
        const UUID tag = UUID::random();
        dbus::MessageWriter out(message.get());
        out.uuid(tag);
        write(out);
        attacker->sendRaw(message, tag);
        return text(attacker->answer(tag, std::chrono::minutes(2)));
    }

    std::unique_ptr<DaemonClient> attacker = connect();
    std::unique_ptr<DaemonClient> victim = connect();
};

}  // namespace

TEST_F(MalformedCallsTest, BadCallsGetAnErrorOrInvalidDataAndTheDaemonServesOthersOn) {
    const UUID victimRoot = newId();
    ASSERT_EQ(text(victim->request(createRequest(dict(victimRoot, {})))), "requestSucceeded");
    auto none = [](dbus::MessageWriter&) {};

    // Calls that wait for a reply: an unknown member, object or interface, wrong signatures
    // (no arguments, another member's, a tag of a megabyte where 16 bytes belong).
    const std::string unknown = "org.freedesktop.DBus.Error.UnknownMethod";
    const std::string invalid = "org.freedesktop.DBus.Error.InvalidArgs";
    EXPECT_EQ(errorOf(call("dropSettingsWithTag", true), none), unknown);
    EXPECT_EQ(errorOf(call("Frobnicate", true, "org.example.Unknown"), none), unknown);
    EXPECT_EQ(errorOf(call("fetchSettingsWithTag", true, dbus_names::kRequestInterface,
                           "/org/velkor/Other"),
                      none),
              "org.freedesktop.DBus.Error.UnknownObject");
    EXPECT_EQ(errorOf(call("createSettingsWithTag", true), none), invalid);
    EXPECT_EQ(errorOf(call("fetchSettingsWithTag", true),
                      [](dbus::MessageWriter& out) {
                          out.uuid(UUID::random());
                          out.bytes(std::vector<std::uint8_t>(3, 1));
                          out.text("org.example.app");
                          out.uint32(1000);
                      }),
              invalid);
    EXPECT_EQ(errorOf(call("resolveSettingsWithTag", true),
                      [&](dbus::MessageWriter& out) {
                          out.bytes(std::vector<std::uint8_t>(1024 * 1024, 0xAB));
                          out.uuid(victimRoot);
                          out.boolean(true);
                      }),
              invalid);
    EXPECT_EQ(errorOf(call("Get", true, "org.freedesktop.DBus.Properties"), none), invalid);
    // A valid request whose caller waits for a reply gets an empty one, and its answer.
    auto message = call("setHasSubscriptionWithTag", true);
    const UUID tag = UUID::random();
    dbus::MessageWriter out(message.get());
    out.uuid(tag);
    out.uuid(victimRoot);
    out.boolean(false);
    attacker->sendRaw(message, tag);
    EXPECT_EQ(text(attacker->answer(tag)), "requestSucceeded");

    // One-way: an unknown member, a wrong signature, garbage instead of a blob, a blob past the
    // limit; change records without an id, with a value past the limit, with 100,000 keys.
    EXPECT_EQ(answerTo("dropSettingsWithTag", none), kInvalidData);
    EXPECT_EQ(answerTo("createSettingsWithTag", [](dbus::MessageWriter& out) { out.text("x"); }),
              kInvalidData);
    for (const auto& blob :
         {std::vector<std::uint8_t>{0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F, 0x52, 0xFF, 0x00, 0x13},
          std::vector<std::uint8_t>(kHuge, 0x01)}) {
        EXPECT_EQ(answerTo("createSettingsWithTag",
                           [&](dbus::MessageWriter& out) {
                               out.bytes(blob);
                               out.text("org.example.huge");
                               out.uint32(1000);
                           }),
                  kInvalidData);
    }
    auto keys = [](int count) {
        return [count](dbus::MessageWriter& out) {
            out.openContainer('a', "{sv}");
            for (int i = 0; i < count; ++i) {
                out.openContainer('e', "sv");
                out.text(i == 0 ? "type" : "junk" + std::to_string(i));
                out.openContainer('v', "x");
                out.int64(i);
                out.closeContainer();
                out.closeContainer();
            }
            out.closeContainer();
        };
    };
    EXPECT_EQ(answerTo("updateSettingsWithTag", keys(1)), kInvalidData);
    EXPECT_EQ(answerTo("updateSettingsWithTag", keys(100000)), kInvalidData);
    EXPECT_EQ(answerTo("updateSettingsWithTag",
                       [&](dbus::MessageWriter& out) {
                           out.record(VKChangeNotification(ChangeType::childInserted, victimRoot, 0,
                                                           0, 0, "big",
                                                           std::vector<std::uint8_t>(kHuge, 0x02)));
                       }),
              kInvalidData);

    // A client that keeps sending garbage does not flood the journal: ten lines a minute, with
    // its name and uid.
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(answerTo("dropSettingsWithTag", none), kInvalidData);
    const std::string log = daemon().log();
    const std::string line = "Refused a call from " + attacker->uniqueName() + " (uid ";
    std::size_t lines = 0;
    for (auto at = log.find(line); at != std::string::npos; at = log.find(line, at + 1))
        ++lines;
    EXPECT_EQ(lines, 10u);
    EXPECT_NE(log.find(line + "0)"), std::string::npos);

    // Nothing of it reached the store, and others are served on.
    auto tree = fetchedTree(victim->request(fetchRequest()));
    EXPECT_EQ(std::tuple(tree.count(), tree.revision), std::tuple(0u, 0));
    EXPECT_EQ(text(victim->request(fetchRequest(1000, "org.example.huge"))), kNoAccess);
}
