// Uses only the installed headers: the items lock's templates must be usable without any of the
// library's own headers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "velkor/velkor.h"

namespace velkor {
namespace {

TEST(ItemsLock, PublicTemplatesRunTheirBlockAndPassResultsAndErrorsOn) {
    auto dict = VKDictionary::make();

    EXPECT_EQ(dict->withReadItemsLock([] { return 41 + 1; }), 42);

    int counter = 0;
    dict->withWriteItemsLock([&] { ++counter; });
    EXPECT_EQ(counter, 1);

    int& same = dict->withItemsLock(false, [&]() -> int& { return counter; });
    EXPECT_EQ(&same, &counter);

    std::string moved = dict->withItemsLock(true, [] { return std::string("only movable"); });
    EXPECT_EQ(moved, "only movable");

    // An exception leaves the lock free for the next block.
    EXPECT_THROW(dict->withWriteItemsLock([]() -> int { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(dict->withWriteItemsLock([] { return 2; }), 2);
}

}  // namespace
}  // namespace velkor
