// Tagged allocator: guards, the realloc rules, tag grouping, failures and the lock.
#include "support/allocator.h"
#include "support/listing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> boxes;

void captureBox(const char* text)
{
    boxes.push_back(text);
}

class AllocatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        boxes.clear();
        errorBoxSetHandler(captureBox);
        memResetFailure();
    }
    void TearDown() override
    {
        errorBoxSetHandler(nullptr);
        memResetFailure();
    }
};

const MemTagGroup* findGroup(const std::vector<MemTagGroup>& groups, const char* tag)
{
    for (const MemTagGroup& group : groups)
        if (strcasecmp(group.tag.c_str(), tag) == 0)
            return &group;
    return nullptr;
}

std::string hex(const void* address)
{
    char text[32];
    snprintf(text, sizeof(text), "%lX", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

TEST_F(AllocatorTest, TagsKeepFourteenCharacters)
{
    void* whole = memalloc(8, "abcdefghijklmn");
    void* cut = memalloc(8, "ABCDEFGHIJKLMNOPQRS");
    const std::vector<MemTagGroup> groups = memListGroups();
    const MemTagGroup* group = findGroup(groups, "abcdefghijklmn");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->tag, "ABCDEFGHIJKLMN");   // the newest block names the group
    EXPECT_EQ(group->blockCount, 2);
    EXPECT_EQ(group->totalBytes, 16);
    memfree(cut);
    memfree(whole);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AllocatorTest, GroupsIgnoreCaseAndAreSortedAndFormatted)
{
    const long before = memLiveBlockCount();
    void* a = memalloc(100, "zvd");
    void* b = memalloc(60, "zvd");
    void* c = memalloc(40, "ZVD");
    void* d = memalloc(5, "aaaalloctest");
    EXPECT_EQ(memLiveBlockCount(), before + 4);
    const std::vector<std::string> lines = memFormatGroups();
    const auto zvd = std::find(lines.begin(), lines.end(), "ZVD   200   3");
    const auto aaa = std::find(lines.begin(), lines.end(), "aaaalloctest   5   1");
    ASSERT_NE(zvd, lines.end());
    ASSERT_NE(aaa, lines.end());
    EXPECT_LT(aaa, zvd);
    for (void* block : {a, b, c, d})
        memfree(block);
    EXPECT_EQ(memLiveBlockCount(), before);
    EXPECT_EQ(findGroup(memListGroups(), "zvd"), nullptr);
}

TEST_F(AllocatorTest, OneBytePastTheEndIsReportedOnFree)
{
    auto* block = static_cast<char*>(memalloc(10, "tailtest"));
    block[10] = 'x';
    const std::string address = hex(block + 10);
    memfree(block);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "\nMemory tail corruption at " + address + ", tailtest\n");
}

TEST_F(AllocatorTest, HeadDamageIsReportedPerByteAndCheckCarriesOn)
{
    auto* block = static_cast<char*>(memalloc(4, "headtest"));
    block[-1] = 0;
    block[-3] = 0;
    block[4 + 15] = 0;
    memcheck_block(block);
    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0], "\nMemory head corruption at " + hex(block - 3) + ", headtest\n");
    EXPECT_EQ(boxes[1], "\nMemory head corruption at " + hex(block - 1) + ", headtest\n");
    EXPECT_EQ(boxes[2], "\nMemory tail corruption at " + hex(block + 19) + ", headtest\n");
    boxes.clear();
    memcheck_all();
    EXPECT_EQ(boxes.size(), 3u);
    // Repair, so that freeing is clean.
    memset(block - 16, 'H', 16);
    block[19] = 'T';
    boxes.clear();
    memfree(block);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AllocatorTest, FreeingNullShowsTheBoxOnly)
{
    const long before = memLiveBlockCount();
    memfree(nullptr);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "\nmemfree: Freeing null memory block\n");
    EXPECT_EQ(memLiveBlockCount(), before);
}

TEST_F(AllocatorTest, ReallocRules)
{
    // From null: zero-filled and tagged "realloc".
    auto* fresh = static_cast<unsigned char*>(memrealloc(nullptr, 32));
    ASSERT_NE(fresh, nullptr);
    for (int i = 0; i < 32; i++)
        EXPECT_EQ(fresh[i], 0);
    EXPECT_NE(findGroup(memListGroups(), "realloc"), nullptr);
    memfree(fresh);

    auto* block = static_cast<char*>(memalloc(8, "reatest"));
    memcpy(block, "abcdefgh", 8);
    EXPECT_EQ(memrealloc(block, 8), block);

    auto* grown = static_cast<char*>(memrealloc(block, 20));
    ASSERT_NE(grown, nullptr);
    EXPECT_NE(grown, block);
    EXPECT_EQ(std::string(grown, 8), "abcdefgh");
    for (int i = 8; i < 20; i++)
        EXPECT_EQ(grown[i], 0);
    const std::vector<MemTagGroup> groups = memListGroups();
    const MemTagGroup* group = findGroup(groups, "reatest");
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->totalBytes, 20);
    EXPECT_EQ(group->blockCount, 1);

    auto* shrunk = static_cast<char*>(memrealloc(grown, 3));
    EXPECT_EQ(std::string(shrunk, 3), "abc");
    memfree(shrunk);
    EXPECT_TRUE(boxes.empty());
}

// memresize keeps contents, tag and list links whether the heap resizes in place or moves
// the block; growth adds zero bytes, and the guards stay sound throughout.
TEST_F(AllocatorTest, ResizeKeepsContentsLinksAndGuards)
{
    const long before = memLiveBlockCount();
    auto* older = static_cast<char*>(memalloc(16, "older"));
    auto* block = static_cast<char*>(memalloc(8, "resized"));
    auto* newer = static_cast<char*>(memalloc(16, "newer"));
    memcpy(block, "abcdefgh", 8);
    for (size_t size : {size_t(40), size_t(24) << 20, size_t(3), size_t(5) << 20}) {
        const size_t kept = std::min<size_t>(size, 3);
        block = static_cast<char*>(memresize(block, size));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(std::string(block, kept), std::string("abc", kept));
        if (size > 8) {
            EXPECT_EQ(block[size - 1], 0);
        }
        const std::vector<MemTagGroup> groups = memListGroups();
        const MemTagGroup* group = findGroup(groups, "resized");
        ASSERT_NE(group, nullptr);
        EXPECT_EQ(group->totalBytes, static_cast<long>(size));
        EXPECT_EQ(memLiveBlockCount(), before + 3);
        memcheck_all();
    }
    memfree(newer);
    memfree(block);
    memfree(older);
    EXPECT_EQ(memLiveBlockCount(), before);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AllocatorTest, TypedArraysAndZeroing)
{
    double* values = memalloc_doubles(5, "dbltest");
    int* counts = memalloc_ints(7, "inttest");
    auto* zeroed = static_cast<unsigned char*>(memalloc_zero(33, "zerotest"));
    const std::vector<MemTagGroup> groups = memListGroups();
    EXPECT_EQ(findGroup(groups, "dbltest")->totalBytes, 40);
    EXPECT_EQ(findGroup(groups, "inttest")->totalBytes, 28);
    for (int i = 0; i < 33; i++)
        EXPECT_EQ(zeroed[i], 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(values) % 16, 0u);
    values[4] = 1.0;
    counts[6] = 1;
    memfree(values);
    memfree(counts);
    memfree(zeroed);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(AllocatorTest, OutOfMemoryShowsTheBoxAndSetsTheFlag)
{
    const long before = memLiveBlockCount();
    EXPECT_EQ(memalloc(size_t(1) << 40, "huge"), nullptr);
    EXPECT_TRUE(memOutOfMemory());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "\nInsufficient free memory space is available.\n");
    memResetFailure();
    EXPECT_EQ(memalloc_doubles(SIZE_MAX / 4, "huge"), nullptr);
    EXPECT_EQ(memalloc_ints(SIZE_MAX / 2, "huge"), nullptr);
    EXPECT_TRUE(memOutOfMemory());

    // A failed growth leaves the old block live and intact.
    auto* block = static_cast<char*>(memalloc(4, "keepme"));
    memcpy(block, "keep", 4);
    EXPECT_EQ(memrealloc(block, size_t(1) << 40), nullptr);
    EXPECT_EQ(std::string(block, 4), "keep");
    memfree(block);
    EXPECT_EQ(memLiveBlockCount(), before);
}

TEST_F(AllocatorTest, TwoThreadsAllocateAndFreeSafely)
{
    const long before = memLiveBlockCount();
    auto work = [] {
        std::vector<void*> blocks;
        for (int round = 0; round < 2000; round++) {
            blocks.push_back(memalloc(16 + round % 50, round % 2 ? "thra" : "thrb"));
            if (round % 3 == 0) {
                memfree(blocks.front());
                blocks.erase(blocks.begin());
            }
        }
        for (void* block : blocks)
            memfree(block);
    };
    std::thread first(work);
    std::thread second(work);
    first.join();
    second.join();
    EXPECT_EQ(memLiveBlockCount(), before);
    memcheck_all();
    EXPECT_TRUE(boxes.empty());
}

} // namespace
