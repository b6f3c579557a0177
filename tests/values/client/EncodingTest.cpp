#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ContainerTesting.h"
#include "basalt/ArchiveWriter.h"
#include "registry/RegistryOfContainers.h"
#include "support/FakeInnerConnection.h"
#include "values/client/SerializerOnClient.h"

namespace velkor::test {
namespace {

std::vector<std::uint8_t> encode(const VKObjectBase& value, SerializerOnClient& encoder) {
    serialize(value, encoder);
    return encoder.takeArchiverData();
}

TEST(ClientEncoding, ScalarsAndALocalDictionaryByteForByte) {
    SerializerOnClient encoder;
    // The magic, then integer 0 and integer 7.
    EXPECT_EQ(encode(VKNumber(7), encoder),
              (std::vector<std::uint8_t>{0xD9, 0xD9, 0xF8, 0x43, 0x42, 0x4F, 0x52, 0x00, 0x07}));

    auto dictionary = VKDictionary::make();
    dictionary->set("a", str("string"));
    basalt::ArchiveWriter expected;
    expected.encodeInteger(4).encodeBytes(dictionary->id().bytes()).encodeInteger(0);
    expected.encodeInteger(0).encodeInteger(1).encodeText("a").encodeInteger(1);
    expected.encodeText("string");
    EXPECT_EQ(encode(*dictionary, encoder), expected.archiverData());

    // With an observer the subscription flag is 1.
    EventLog observed(*dictionary);
    SerializerOnClient again;
    auto blob = encode(*dictionary, again);
    EXPECT_EQ(blob[7 + 1 + 17 + 1], 0x01);
}

TEST(ClientEncoding, RepeatedAttachedAndProxiedContainersTravelAsReferences) {
    auto scheduler = std::make_shared<rx::VirtualTimeScheduler>();
    auto connection = FakeInnerConnection::make(scheduler);
    const UUID oldRoot = UUID::random();
    auto attached = VKArray::make();
    Access::setRootId(*attached, oldRoot);
    Access::setRevision(*attached, 4);
    connection->registryOfContainers().registerContainer(attached);

    auto proxy = decodeOn<VKContainer>(connection, DaemonBlobWriter().proxy(UUID::random()).blob());
    auto shared = VKArray::make();
    shared->append(num(1));
    auto root = VKArray::make();
    root->append(shared);
    root->append(shared);
    root->append(attached);
    root->append(proxy);

    SerializerOnClient encoder;
    basalt::ArchiveWriter expected;
    auto head = [&](const VKContainer& c, std::int64_t count) {
        expected.encodeInteger(3).encodeBytes(c.id().bytes()).encodeInteger(0).encodeInteger(0);
        expected.encodeInteger(count);
    };
    head(*root, 4);
    head(*shared, 1);
    expected.encodeInteger(0).encodeInteger(1);
    expected.encodeInteger(5).encodeBytes(shared->id().bytes());
    expected.encodeInteger(5).encodeBytes(attached->id().bytes());
    expected.encodeInteger(5).encodeBytes(proxy->id().bytes());
    EXPECT_EQ(encode(*root, encoder), expected.archiverData());
    EXPECT_EQ(encoder.rememberedContainers().size(), 2u);

    // Registration gives the written containers the root id and the connection, and leaves the
    // attached one as it was.
    encoder.registerContainers(root->id(), *connection);
    for (const auto& c : {std::static_pointer_cast<VKContainer>(root),
                          std::static_pointer_cast<VKContainer>(shared)}) {
        EXPECT_EQ(c->rootId(), root->id());
        EXPECT_EQ(Access::innerConnection(*c), connection);
        EXPECT_EQ(connection->registryOfContainers().tryFind(c->id()), c);
    }
    EXPECT_EQ(attached->rootId(), oldRoot);
    EXPECT_EQ(attached->revision(), 4);
}

}  // namespace
}  // namespace velkor::test
