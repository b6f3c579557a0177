// Uses only the installed headers: the items lock's templates must be usable without any of the
// library's own headers.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "velkor/velkor.h"

TEST(ItemsLock, PublicTemplatesRunTheirBlockAndPassResultsAndErrorsOn) {
    auto dict = velkor::VKDictionary::make();
    int counter = 0;
    EXPECT_EQ(dict->withReadItemsLock([] { return 42; }), 42);
    dict->withWriteItemsLock([&] { ++counter; });
    EXPECT_EQ(&dict->withItemsLock(false, [&]() -> int& { return counter; }), &counter);
    EXPECT_EQ(dict->withItemsLock(true, [] { return std::string("movable"); }), "movable");
    // An exception leaves the lock free for the next block.
    EXPECT_THROW(dict->withWriteItemsLock([]() -> int { throw std::runtime_error("no"); }),
                 std::runtime_error);
    EXPECT_EQ(dict->withWriteItemsLock([&] { return counter; }), 1);
}
