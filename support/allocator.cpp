// Tagged, guarded allocator. Each block is one heap request laid out as
//   header (links, tag, size, padding) | 16 'H' | caller's area | 16 'T'
// The header is 64 bytes, so the caller's area keeps the heap's 16-byte alignment.
#include "support/allocator.h"

#include "support/listing.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <mutex>
#include <strings.h>

namespace {

constexpr int GUARD_BYTES = 16;
constexpr char HEAD_GUARD = 'H';
constexpr char TAIL_GUARD = 'T';
constexpr char FREED_GUARD = 'X';
constexpr size_t SIZE_LIMIT = 0xFFFFFFFFu - 128;   // sizes are recorded in 32 bits

struct BlockHeader {
    BlockHeader* next;              // next older live block, or null
    BlockHeader* prev;              // next newer live block, or null
    char tag[16];                   // NUL-terminated, at most MEM_TAG_LENGTH characters
    uint32_t size;                  // bytes the caller asked for
    char padding[12];               // keeps the caller's area 16-byte aligned
    char headGuard[GUARD_BYTES];    // immediately before the caller's area
};
static_assert(sizeof(BlockHeader) == 64, "block header layout");

// A guard byte found damaged, reported once the lock is released.
struct GuardReport {
    uintptr_t address;    // address of the damaged byte
    bool tail;            // tail guard rather than head guard
    char tag[16];         // tag of the block
};
constexpr int MAX_GUARD_REPORTS = 2 * GUARD_BYTES;

struct AllocatorState {
    std::mutex lock;                          // serialises list changes, checks and heap calls
    BlockHeader* blockListHead = nullptr;     // newest live block
    long liveBlocks = 0;                      // number of live blocks
    std::atomic<bool> outOfMemory = false;    // an allocation failed since the last reset
};

AllocatorState mem;

BlockHeader* headerOf(void* block)
{
    return reinterpret_cast<BlockHeader*>(static_cast<char*>(block) - sizeof(BlockHeader));
}

char* areaOf(BlockHeader* header)
{
    return reinterpret_cast<char*>(header) + sizeof(BlockHeader);
}

// Collects the damaged guard bytes of one block; returns the number of reports added.
int checkGuards(BlockHeader* header, GuardReport* reports, int room)
{
    int count = 0;
    const char* tail = areaOf(header) + header->size;
    for (int pass = 0; pass < 2; pass++) {
        const char* guard = pass == 0 ? header->headGuard : tail;
        const char expected = pass == 0 ? HEAD_GUARD : TAIL_GUARD;
        for (int i = 0; i < GUARD_BYTES; i++) {
            if (guard[i] == expected || count >= room)
                continue;
            GuardReport& report = reports[count++];
            report.address = reinterpret_cast<uintptr_t>(guard + i);
            report.tail = pass == 1;
            memcpy(report.tag, header->tag, sizeof(report.tag));
        }
    }
    return count;
}

void showGuardReports(const GuardReport* reports, int count)
{
    for (int i = 0; i < count; i++) {
        const char* where = reports[i].tail ? "tail" : "head";
        errorBox("\nMemory %s corruption at %lX, %s\n", where,
                 static_cast<unsigned long>(reports[i].address), reports[i].tag);
    }
}

void failAllocation()
{
    mem.outOfMemory.store(true, std::memory_order_relaxed);
    errorBox("\nInsufficient free memory space is available.\n");
}

bool countFits(size_t count, size_t itemSize)
{
    return count <= SIZE_LIMIT / itemSize;
}

// Large blocks ask for transparent huge pages: a fresh array of tens of megabytes then
// faults in 2 MB at a time instead of 4 KB, which saves most of the kernel's time on
// first touch. The advice covers the whole pages inside the block; it is only advice.
constexpr size_t HUGE_PAGE_BLOCK = 4u << 20;

void adviseHugePages(void* start, size_t length)
{
    const uintptr_t page = 4096;
    const uintptr_t first = (reinterpret_cast<uintptr_t>(start) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(start) + length) & ~(page - 1);
    if (end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

} // namespace

void* memalloc(size_t size, const char* tag)
{
    if (size > SIZE_LIMIT) {
        failAllocation();
        return nullptr;
    }
    BlockHeader* header;
    {
        std::lock_guard<std::mutex> guard(mem.lock);
        header = static_cast<BlockHeader*>(malloc(sizeof(BlockHeader) + size + GUARD_BYTES));
        if (header) {
            header->next = mem.blockListHead;
            header->prev = nullptr;
            if (mem.blockListHead)
                mem.blockListHead->prev = header;
            mem.blockListHead = header;
            mem.liveBlocks++;
            header->size = static_cast<uint32_t>(size);
            memset(header->tag, 0, sizeof(header->tag));
            strncpy(header->tag, tag ? tag : "", MEM_TAG_LENGTH);
            memset(header->padding, 0, sizeof(header->padding));
            memset(header->headGuard, HEAD_GUARD, GUARD_BYTES);
            memset(areaOf(header) + size, TAIL_GUARD, GUARD_BYTES);
        }
    }
    if (header && size >= HUGE_PAGE_BLOCK)
        adviseHugePages(header, sizeof(BlockHeader) + size);
    if (!header) {
        failAllocation();
        return nullptr;
    }
    return areaOf(header);
}

void* memalloc_zero(size_t size, const char* tag)
{
    void* block = memalloc(size, tag);
    if (block)
        memset(block, 0, size);
    return block;
}

double* memalloc_doubles(size_t count, const char* tag)
{
    if (!countFits(count, sizeof(double))) {
        failAllocation();
        return nullptr;
    }
    return static_cast<double*>(memalloc(count * sizeof(double), tag));
}

int* memalloc_ints(size_t count, const char* tag)
{
    if (!countFits(count, sizeof(int))) {
        failAllocation();
        return nullptr;
    }
    return static_cast<int*>(memalloc(count * sizeof(int), tag));
}

void* memrealloc(void* block, size_t newSize)
{
    if (!block)
        return memalloc_zero(newSize, "realloc");
    BlockHeader* header = headerOf(block);
    if (newSize == header->size)
        return block;
    // On failure the old block stays live and untouched; the caller sees null and the flag.
    void* moved = memalloc_zero(newSize, header->tag);
    if (!moved)
        return nullptr;
    memcpy(moved, block, std::min<size_t>(newSize, header->size));
    memfree(block);
    return moved;
}

void* memresize(void* block, size_t newSize)
{
    if (!block)
        return memalloc_zero(newSize, "realloc");
    if (newSize > SIZE_LIMIT) {
        failAllocation();
        return nullptr;
    }
    BlockHeader* header = headerOf(block);
    const size_t oldSize = header->size;
    if (newSize == oldSize)
        return block;
    // The heap resizes the block where it lies, or moves it (a large block by remapping
    // its pages, without a copy); the neighbours' links then follow it. On failure the
    // old block stays live and untouched; the caller sees null and the flag.
    GuardReport reports[MAX_GUARD_REPORTS];
    int reportCount;
    BlockHeader* moved;
    {
        std::lock_guard<std::mutex> guard(mem.lock);
        reportCount = checkGuards(header, reports, MAX_GUARD_REPORTS);
        moved = static_cast<BlockHeader*>(realloc(header, sizeof(BlockHeader) + newSize + GUARD_BYTES));
        if (moved) {
            if (moved->prev)
                moved->prev->next = moved;
            else
                mem.blockListHead = moved;
            if (moved->next)
                moved->next->prev = moved;
            moved->size = static_cast<uint32_t>(newSize);
            memset(areaOf(moved) + newSize, TAIL_GUARD, GUARD_BYTES);
        }
    }
    showGuardReports(reports, reportCount);
    if (!moved) {
        failAllocation();
        return nullptr;
    }
    if (newSize > oldSize)
        memset(areaOf(moved) + oldSize, 0, newSize - oldSize);
    return areaOf(moved);
}

void memfree(void* block)
{
    if (!block) {
        errorBox("\nmemfree: Freeing null memory block\n");
        return;
    }
    GuardReport reports[MAX_GUARD_REPORTS];
    int reportCount;
    {
        std::lock_guard<std::mutex> guard(mem.lock);
        BlockHeader* header = headerOf(block);
        reportCount = checkGuards(header, reports, MAX_GUARD_REPORTS);
        if (header->prev)
            header->prev->next = header->next;
        else
            mem.blockListHead = header->next;
        if (header->next)
            header->next->prev = header->prev;
        mem.liveBlocks--;
        memset(header->headGuard, FREED_GUARD, GUARD_BYTES);
        free(header);
    }
    showGuardReports(reports, reportCount);
}

void memcheck_all()
{
    // Reports are gathered under the lock and shown after it, so that an error box
    // handler may allocate. The number of boxes per check is bounded.
    constexpr int ROOM = 256;
    GuardReport reports[ROOM];
    int reportCount = 0;
    {
        std::lock_guard<std::mutex> guard(mem.lock);
        for (BlockHeader* header = mem.blockListHead; header && reportCount < ROOM; header = header->next)
            reportCount += checkGuards(header, reports + reportCount, ROOM - reportCount);
    }
    showGuardReports(reports, reportCount);
}

void memcheck_block(void* block)
{
    if (!block)
        return;
    GuardReport reports[MAX_GUARD_REPORTS];
    int reportCount;
    {
        std::lock_guard<std::mutex> guard(mem.lock);
        reportCount = checkGuards(headerOf(block), reports, MAX_GUARD_REPORTS);
    }
    showGuardReports(reports, reportCount);
}

std::vector<MemTagGroup> memListGroups()
{
    std::vector<MemTagGroup> groups;
    std::lock_guard<std::mutex> guard(mem.lock);
    for (BlockHeader* header = mem.blockListHead; header; header = header->next) {
        auto found = std::find_if(groups.begin(), groups.end(), [header](const MemTagGroup& group) {
            return strcasecmp(group.tag.c_str(), header->tag) == 0;
        });
        if (found == groups.end()) {
            groups.push_back({header->tag, static_cast<long>(header->size), 1});
        } else {
            found->totalBytes += header->size;
            found->blockCount++;
        }
    }
    std::sort(groups.begin(), groups.end(), [](const MemTagGroup& a, const MemTagGroup& b) {
        return strcasecmp(a.tag.c_str(), b.tag.c_str()) < 0;
    });
    return groups;
}

std::vector<std::string> memFormatGroups()
{
    std::vector<std::string> lines;
    for (const MemTagGroup& group : memListGroups()) {
        char line[80];
        snprintf(line, sizeof(line), "%s   %d   %d", group.tag.c_str(),
                 static_cast<int>(group.totalBytes), group.blockCount);
        lines.push_back(line);
    }
    return lines;
}

long memLiveBlockCount()
{
    std::lock_guard<std::mutex> guard(mem.lock);
    return mem.liveBlocks;
}

bool memOutOfMemory()
{
    return mem.outOfMemory.load(std::memory_order_relaxed);
}

void memResetFailure()
{
    mem.outOfMemory.store(false, std::memory_order_relaxed);
}
