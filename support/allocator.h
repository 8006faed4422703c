// Tagged, guarded memory allocator. Every block the program's own code needs comes
// from here: each carries a short tag naming what it holds and is fenced by guard
// bytes, so overwrites, double frees and leaks can be found.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr int MEM_TAG_LENGTH = 14;   // characters of a tag that are kept

void* memalloc(size_t size, const char* tag);          // uninitialised bytes; null only after the out-of-memory box
void* memalloc_zero(size_t size, const char* tag);     // memalloc, then cleared
double* memalloc_doubles(size_t count, const char* tag);
int* memalloc_ints(size_t count, const char* tag);
void* memrealloc(void* block, size_t newSize);         // always moves unless the size is unchanged
void* memresize(void* block, size_t newSize);          // memrealloc that may keep the block in place
void memfree(void* block);
void memcheck_all();
void memcheck_block(void* block);

// One line of the live-block listing: blocks grouped by tag (case ignored).
struct MemTagGroup {
    std::string tag;    // spelled as the newest block of the group
    long totalBytes;    // sum of the caller sizes
    int blockCount;     // number of live blocks
};

// Live blocks grouped by tag, sorted by tag; formatMemGroups gives "%s   %d   %d" lines.
std::vector<MemTagGroup> memListGroups();
std::vector<std::string> memFormatGroups();
long memLiveBlockCount();

// True once an allocation has failed since the last memResetFailure: the operation
// that asked must end in an orderly way.
bool memOutOfMemory();
void memResetFailure();
