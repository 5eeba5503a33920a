// Guarded allocator: layout, alignment, fallbacks and the write protection.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "reporter/VXMAllocator.h"

namespace {
size_t page() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}
}  // namespace

TEST(Allocator, RegionSizesGainAPageAndTheHeaderLivesInTheReadOnlyRegion) {
    VXMAllocator* a = VXMAllocatorCreate(2 * page(), 100);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->writable.size, 3 * page());  // an exact multiple still gains one
    EXPECT_EQ(a->readOnly.size, page());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a), a->readOnly.start);
    EXPECT_EQ(a->mappingSize, 3 * page() + 3 * page() + page());
    EXPECT_EQ(a->writable.start, reinterpret_cast<uintptr_t>(a->base) + page());
    VXMAllocatorDestroy(a);
}

TEST(Allocator, AllocationsAreAlignedAndFallBackWhenExhaustedOrProtected) {
    VXMAllocator* a = VXMAllocatorCreate(page(), page());
    ASSERT_NE(a, nullptr);
    std::vector<void*> seen;
    for (size_t size : {1, 3, 17, 100, 7}) {
        void* p = VXMAllocatorSafeAllocate(a, size, VXMAllocationWritable);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % VXMAllocatorAlignment, 0u) << size;
        EXPECT_TRUE(VXMAllocatorOwns(a, p));
        memset(p, 0xab, size);
        seen.push_back(p);
    }
    EXPECT_EQ(VXMAllocatorSafeAllocate(a, 8, 2), nullptr);

    void* big = VXMAllocatorSafeAllocate(a, 10 * page(), VXMAllocationWritable);
    ASSERT_NE(big, nullptr);
    EXPECT_FALSE(VXMAllocatorOwns(a, big));  // from malloc
    VXMAllocatorFree(a, big);
    VXMAllocatorFree(a, seen[0]);  // region memory is kept

    void* text = VXMAllocatorSafeAllocate(a, 32, VXMAllocationReadOnly);
    EXPECT_TRUE(VXMAllocatorOwns(a, text));
    EXPECT_TRUE(VXMAllocatorProtect(a));
    EXPECT_TRUE(VXMAllocatorProtect(a));
    void* late = VXMAllocatorSafeAllocate(a, 32, VXMAllocationReadOnly);
    ASSERT_NE(late, nullptr);
    EXPECT_FALSE(VXMAllocatorOwns(a, late));
    VXMAllocatorFree(a, late);

    void* orphan = VXMAllocatorSafeAllocate(nullptr, 16, VXMAllocationWritable);
    ASSERT_NE(orphan, nullptr);
    VXMAllocatorFree(nullptr, orphan);
    VXMAllocatorDestroy(a);
}

TEST(Allocator, ConcurrentAllocationsNeverOverlap) {
    VXMAllocator* a = VXMAllocatorCreate(64 * 1024, 64);
    ASSERT_NE(a, nullptr);
    std::vector<std::vector<uintptr_t>> got(8);
    std::vector<std::thread> threads;
    for (auto& mine : got)
        threads.emplace_back([&a, &mine] {
            for (int i = 0; i < 200; ++i)
                mine.push_back(reinterpret_cast<uintptr_t>(
                    VXMAllocatorSafeAllocate(a, 24, VXMAllocationWritable)));
        });
    for (auto& t : threads) t.join();
    std::vector<uintptr_t> all;
    for (auto& mine : got) all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    for (size_t i = 1; i < all.size(); ++i) ASSERT_GE(all[i] - all[i - 1], 32u);
    for (uintptr_t p : all) EXPECT_TRUE(VXMAllocatorOwns(a, reinterpret_cast<void*>(p)));
    VXMAllocatorDestroy(a);
}

TEST(AllocatorDeathTest, WritingAfterProtectionFaults) {
    VXMAllocator* a = VXMAllocatorCreate(page(), page());
    ASSERT_NE(a, nullptr);
    auto* text =
        static_cast<volatile char*>(VXMAllocatorSafeAllocate(a, 16, VXMAllocationReadOnly));
    auto* scratch =
        static_cast<volatile char*>(VXMAllocatorSafeAllocate(a, 16, VXMAllocationWritable));
    text[0] = 'a';
    ASSERT_TRUE(VXMAllocatorProtect(a));
    scratch[0] = 'b';  // the writable region stays writable
    EXPECT_EQ(text[0], 'a');
    EXPECT_DEATH(text[0] = 'c', "");
    // The guard pages fault as well.
    EXPECT_DEATH(*(static_cast<volatile char*>(a->base)) = 1, "");
    VXMAllocatorDestroy(a);
}
