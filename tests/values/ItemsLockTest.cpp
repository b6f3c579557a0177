// Uses only the installed headers: the items lock's templates must be usable without any of the
// library's own headers.
#include <gtest/gtest.h>

#include <stdexcept>

#include "velkor/velkor.h"

TEST(ItemsLock, PublicTemplatesRunTheirBlockAndPassResultsAndErrorsOn) {
    auto dict = velkor::VKDictionary::make();
    int counter = 0;
    dict->withWriteItemsLock([&] { ++counter; });
    EXPECT_EQ(&dict->withItemsLock(false, [&]() -> int& { return counter; }), &counter);
    // An exception leaves the lock free for the next block.
    EXPECT_THROW(dict->withWriteItemsLock([]() -> int { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(dict->withReadItemsLock([&] { return counter; }), 1);
}
