#include "DaemonTesting.h"
#include "core/BlobDecoder.h"

#include <functional>

using namespace velkor;
using namespace velkor::test;
using daemon::BlobDecoder;

namespace {

using Writer = basalt::ArchiveWriter;

std::vector<std::uint8_t> blobOf(const std::function<void(Writer&)>& items) {
    Writer w;
    items(w);
    return w.takeArchiverData();
}

std::optional<VKError> refusal(
    const std::vector<std::uint8_t>& blob,
    BlobDecoder::References references = BlobDecoder::References::allowOutside) {
    try {
        BlobDecoder::decode(blob, references);
        return std::nullopt;
    } catch (const VKError& e) {
        return e;
    }
}

// A dictionary header without its entries.
void header(Writer& w, const UUID& id, std::int64_t revision, std::int64_t flag, std::int64_t count,
            ValueKind kind = ValueKind::dictionary) {
    w.encodeInteger(static_cast<std::int64_t>(kind)).encodeBytes(id.bytes());
    w.encodeInteger(revision).encodeInteger(flag).encodeInteger(count);
}

// `depth` arrays, each holding the next; the innermost is empty.
std::vector<std::uint8_t> nested(int depth) {
    return blobOf([&](Writer& w) {
        for (int i = 0; i < depth; ++i) {
            header(w, UUID::random(), 0, 0, i + 1 < depth ? 1 : 0, ValueKind::array);
        }
    });
}

}  // namespace

TEST(BlobDecoderTest, ReadsEveryKindInOrder) {
    const UUID a = newId();
    const UUID b = newId();
    const UUID outside = newId();
    const auto blob = clientBlob(dict(a,
                                      {{"n", num(-5)},
                                       {"s", str("text")},
                                       {"d", dat("bytes")},
                                       {"arr", arr(b, {ref(outside), ref(outside)}, 7)},
                                       {"again", ref(b)}},
                                      3, true));
    const auto tree = BlobDecoder::decode(blob, BlobDecoder::References::allowOutside);
    EXPECT_EQ(tree.top.kind, ValueKind::dictionary);
    EXPECT_EQ(tree.top.id, a);
    ASSERT_EQ(tree.containers.size(), 2u);
    const auto& top = tree.containers[0];
    EXPECT_EQ(top.revision, 3);
    EXPECT_TRUE(top.subscribed);
    ASSERT_EQ(top.keys, (std::vector<std::string_view>{"n", "s", "d", "arr", "again"}));
    EXPECT_EQ(top.values[0].number, -5);
    EXPECT_EQ(top.values[1].text(), "text");
    EXPECT_EQ(top.values[2].text(), "bytes");
    EXPECT_EQ(top.values[2].kind, ValueKind::data);
    EXPECT_EQ(top.values[3].kind, ValueKind::array);
    EXPECT_EQ(top.values[4].kind, ValueKind::containerProxy);
    EXPECT_EQ(top.values[4].id, b);
    EXPECT_EQ(tree.containers[1].revision, 7);
    EXPECT_FALSE(tree.containers[1].subscribed);
    EXPECT_EQ(tree.outsideReferences, std::vector<UUID>{outside});

    EXPECT_EQ(refusal(blob, BlobDecoder::References::sameBlobOnly), VKError::invalidData);
}

TEST(BlobDecoderTest, RefusesMalformedBlobs) {
    const UUID id = newId();
    const auto good = clientBlob(dict(id, {{"k", num(1)}}));
    ASSERT_EQ(refusal(good), std::nullopt);

    std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases{
        {"no magic", {0x00, 0x01, 0x02}},
        {"nothing", {}},
        {"magic only", blobOf([](Writer&) {})},
        {"cut short", std::vector<std::uint8_t>(good.begin(), good.end() - 1)},
        {"unknown kind", blobOf([](Writer& w) { w.encodeInteger(6).encodeInteger(1); })},
        {"negative kind", blobOf([](Writer& w) { w.encodeInteger(-1).encodeInteger(1); })},
        {"kind as text", blobOf([](Writer& w) { w.encodeText("0").encodeInteger(1); })},
        {"number as text", blobOf([](Writer& w) { w.encodeInteger(0).encodeText("1"); })},
        {"string as bytes", blobOf([](Writer& w) { w.encodeInteger(1).encodeBytes({}); })},
        {"trailing item",
         blobOf([](Writer& w) { w.encodeInteger(0).encodeInteger(1).encodeInteger(0); })},
        {"short id", blobOf([](Writer& w) {
             w.encodeInteger(4).encodeBytes(std::vector<std::uint8_t>(15, 1));
             w.encodeInteger(0).encodeInteger(0).encodeInteger(0);
         })},
        {"zero id", blobOf([](Writer& w) { header(w, UUID::zero(), 0, 0, 0); })},
        {"negative revision", blobOf([&](Writer& w) { header(w, id, -1, 0, 0); })},
        {"flag 2", blobOf([&](Writer& w) { header(w, id, 0, 2, 0); })},
        {"negative count", blobOf([&](Writer& w) { header(w, id, 0, 0, -1); })},
        {"count past the end", blobOf([&](Writer& w) { header(w, id, 0, 0, 1ll << 40); })},
        {"fewer items than counted", blobOf([&](Writer& w) {
             header(w, id, 0, 0, 2);
             w.encodeText("k").encodeInteger(0).encodeInteger(1);
         })},
        {"key as integer", blobOf([&](Writer& w) {
             header(w, id, 0, 0, 1);
             w.encodeInteger(7).encodeInteger(0).encodeInteger(1);
         })},
        {"repeated key", blobOf([&](Writer& w) {
             header(w, id, 0, 0, 2);
             w.encodeText("k").encodeInteger(0).encodeInteger(1);
             w.encodeText("k").encodeInteger(0).encodeInteger(2);
         })},
        {"written twice", blobOf([&](Writer& w) {
             header(w, UUID::random(), 0, 0, 2, ValueKind::array);
             header(w, id, 0, 0, 0);
             header(w, id, 0, 0, 0);
         })},
        {"written after a reference", blobOf([&](Writer& w) {
             header(w, UUID::random(), 0, 0, 2, ValueKind::array);
             w.encodeInteger(5).encodeBytes(id.bytes());
             header(w, id, 0, 0, 0);
         })},
    };
    for (const auto& [name, blob] : cases) {
        EXPECT_EQ(refusal(blob), VKError::invalidData) << name;
    }

    // A reference to a container that is still being written closes a cycle.
    const auto cycle = blobOf([&](Writer& w) {
        header(w, id, 0, 0, 1, ValueKind::array);
        header(w, UUID::random(), 0, 0, 1, ValueKind::array);
        w.encodeInteger(5).encodeBytes(id.bytes());
    });
    EXPECT_EQ(refusal(cycle), VKError::circularReferences);
}

TEST(BlobDecoderTest, NestingAndSizeLimits) {
    EXPECT_EQ(refusal(nested(BlobDecoder::maxNesting)), std::nullopt);
    EXPECT_EQ(refusal(nested(BlobDecoder::maxNesting + 1)), VKError::invalidData);

    // The archive adds the magic, the kind and a length head to the payload.
    const std::string fits(BlobDecoder::maxBlobSize - 20, 'x');
    EXPECT_EQ(refusal(clientBlob(dat(fits))), std::nullopt);
    const std::string tooLarge(BlobDecoder::maxBlobSize, 'x');
    EXPECT_EQ(refusal(clientBlob(dat(tooLarge))), VKError::invalidData);
}
