// Follows arbitrary bytes as a channel's client would send them, in pieces whose sizes come from
// the input too, and checks that how the bytes are split changes nothing: the same messages are
// counted, the same bytes are left incomplete, and a refusal comes at the same point.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "bus/MessageFraming.h"

using velkor::daemon::MessageFraming;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::size_t piece = data[0] % 16 + 1;
    ++data;
    --size;
    constexpr std::size_t kMax = 1 << 20;
    MessageFraming whole(kMax), pieces(kMax);
    const bool refused = whole.follow(data, size).has_value();
    bool piecesRefused = false;
    for (std::size_t at = 0; at < size && !piecesRefused; at += piece)
        piecesRefused = pieces.follow(data + at, std::min(piece, size - at)).has_value();
    if (refused != piecesRefused || whole.messages() != pieces.messages())
        std::abort();
    if (!refused && (whole.incomplete() != pieces.incomplete() || whole.incomplete() > kMax))
        std::abort();
    return 0;
}
