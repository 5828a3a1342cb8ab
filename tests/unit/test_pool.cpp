// The guarded memory pool: slot table limits, guard checks on release and
// resize, probing, and delivery of failures to the guarded entry.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstring>
#include <vector>

#include "gfx/pool.h"

namespace {

// Runs f as a guarded entry would: returns 0, or the code a failure delivered
// (the pool is then destroyed, as a guarded entry does).
template <class F>
int guarded(MemPool* pool, F f) {
    int code = setjmp(pool->jump);
    if (code != 0) {
        pool_destroy(pool);
        return code;
    }
    f();
    return 0;
}

// Bytes the C heap has handed out and not taken back; 0 where a sanitizer
// keeps the heap itself.
size_t heap_in_use() {
#if defined(__SANITIZE_ADDRESS__)
    return 0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return 0;
#else
    return mallinfo2().uordblks;
#endif
#else
    return mallinfo2().uordblks;
#endif
}

MemPool* new_pool() {
    int err = -1;
    MemPool* p = pool_create(&err);
    EXPECT_EQ(err, 0);
    return p;
}

}  // namespace

TEST(Pool, StartsEmptyWithItsGuards) {
    MemPool* p = new_pool();
    EXPECT_EQ(p->guard0, 0xAB1500FFu);
    EXPECT_EQ(p->guard1, 0xAA005501u);
    EXPECT_EQ(p->guard2, 0xA5A55A5Au);
    EXPECT_EQ(p->slot_count, 1021);
    EXPECT_EQ(pool_check(p), 0);
    pool_destroy(p);
}

TEST(Pool, BlockCarriesMagicSizeSlotAndTrailer) {
    MemPool* p = new_pool();
    unsigned char* a = nullptr;
    ASSERT_EQ(guarded(p, [&] { a = (unsigned char*)pool_alloc(p, 5); }), 0);
    uint32_t magic, size, slot;
    memcpy(&magic, a - 16, 4);
    memcpy(&size, a - 12, 4);
    memcpy(&slot, a - 8, 4);
    EXPECT_EQ(magic, 0xAA53C5AAu);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(a[5], 0x5A);
    EXPECT_EQ(a[6], 0xF0);
    EXPECT_EQ(pool_check(p), 1);
    pool_destroy(p);
}

TEST(Pool, The1021stBlockIsAcceptedThe1022ndFailsWithSlotsFull) {
    MemPool* p = new_pool();
    ASSERT_EQ(guarded(p, [&] {
                  for (int i = 0; i < 1021; i++) pool_alloc(p, 8);
              }),
              0);
    EXPECT_EQ(p->live, 1021);
    EXPECT_EQ(pool_check(p), 1021);
    EXPECT_EQ(p->next_probe, 1020u);
    // the failing call destroys the pool (and every block in it)
    EXPECT_EQ(guarded(p, [&] { pool_alloc(p, 8); }), ERR_SLOTS_FULL);
}

TEST(Pool, FailureRewritesGuardOneBeforeJumping) {
    MemPool* p = new_pool();
    int code = setjmp(p->jump);
    if (code == 0) pool_fail(p, 12345);
    EXPECT_EQ(code, 12345);
    EXPECT_EQ(p->guard1, 0x5500AAFFu);
    pool_destroy(p);
}

TEST(Pool, ProbeWrapsAroundToSlotZero) {
    MemPool* p = new_pool();
    std::vector<void*> blocks;
    ASSERT_EQ(guarded(p, [&] {
                  for (int i = 0; i < 1021; i++) blocks.push_back(pool_alloc(p, 4));
              }),
              0);
    ASSERT_EQ(p->next_probe, 1020u);
    unsigned char* again = nullptr;
    ASSERT_EQ(guarded(p, [&] {
                  pool_free(p, blocks[3]);
                  pool_free(p, blocks[1020]);
                  // the search starts at 1020 (now empty): it is taken first
                  pool_alloc(p, 4);
                  // then 1020 is full again: the search wraps past 0 to 3
                  again = (unsigned char*)pool_alloc(p, 4);
              }),
              0);
    uint32_t slot;
    memcpy(&slot, again - 8, 4);
    EXPECT_EQ(slot, 3u);
    EXPECT_EQ(p->next_probe, 3u);
    EXPECT_EQ(pool_check(p), 1021);
    pool_destroy(p);
}

TEST(Pool, OverrunByOneByteIsCaughtOnRelease) {
    MemPool* p = new_pool();
    char* a = nullptr;
    ASSERT_EQ(guarded(p, [&] { a = (char*)pool_alloc(p, 10); }), 0);
    a[10] = 'x';
    EXPECT_EQ(guarded(p, [&] { pool_free(p, a); }), ERR_BLOCK_DAMAGED);
}

TEST(Pool, OverrunIsCaughtOnResize) {
    MemPool* p = new_pool();
    char* a = nullptr;
    ASSERT_EQ(guarded(p, [&] { a = (char*)pool_alloc(p, 10); }), 0);
    a[11] = 0;
    EXPECT_EQ(guarded(p, [&] { pool_realloc(p, a, 20); }), ERR_BLOCK_DAMAGED);
}

TEST(Pool, DoubleReleaseFailsAndNeverFreesTwice) {
    MemPool* p = new_pool();
    void* a = nullptr;
    void* b = nullptr;
    ASSERT_EQ(guarded(p, [&] {
                  a = pool_alloc(p, 16);
                  b = pool_alloc(p, 16);
                  pool_free(p, a);
              }),
              0);
    EXPECT_EQ(p->live, 1);
    int code = guarded(p, [&] { pool_free(p, a); });
    EXPECT_TRUE(code == ERR_SLOT_MISMATCH || code == ERR_BLOCK_DAMAGED) << code;
    (void)b;  // freed once by the destruction of the pool
}

TEST(Pool, ReleaseOfAForeignBlockFails) {
    MemPool* p = new_pool();
    MemPool* q = new_pool();
    void* a = nullptr;
    ASSERT_EQ(guarded(q, [&] { a = pool_alloc(q, 16); }), 0);
    EXPECT_EQ(guarded(p, [&] { pool_free(p, a); }), ERR_SLOT_MISMATCH);
    EXPECT_EQ(pool_check(q), 1);
    pool_destroy(q);
}

TEST(Pool, ReallocOfANullBlockReturnsZeroAndAllocatesNothing) {
    MemPool* p = new_pool();
    void* r = (void*)1;
    ASSERT_EQ(guarded(p, [&] { r = pool_realloc(p, nullptr, 100); }), 0);
    EXPECT_EQ(r, nullptr);
    EXPECT_EQ(p->live, 0);
    pool_destroy(p);
}

TEST(Pool, ReallocKeepsContentSlotAndGuards) {
    MemPool* p = new_pool();
    char* a = nullptr;
    ASSERT_EQ(guarded(p, [&] {
                  pool_alloc(p, 1);
                  a = (char*)pool_alloc(p, 4);
                  memcpy(a, "abcd", 4);
                  a = (char*)pool_realloc(p, a, 5000);
              }),
              0);
    EXPECT_EQ(memcmp(a, "abcd", 4), 0);
    EXPECT_EQ(pool_check(p), 2);
    uint32_t size, slot;
    memcpy(&size, a - 12, 4);
    memcpy(&slot, a - 8, 4);
    EXPECT_EQ(size, 5000u);
    EXPECT_EQ(slot, 1u);
    a[4999] = 1;  // the new end is writable, the trailer follows it
    ASSERT_EQ(guarded(p, [&] { pool_free(p, a); }), 0);
    EXPECT_EQ(pool_check(p), 1);
    pool_destroy(p);
}

TEST(Pool, ReallocOnAnEmptyPoolIsACountError) {
    MemPool* p = new_pool();
    void* a = nullptr;
    ASSERT_EQ(guarded(p, [&] { a = pool_alloc(p, 4); }), 0);
    p->live = 0;  // a damaged count
    EXPECT_EQ(guarded(p, [&] { pool_realloc(p, a, 8); }), ERR_POOL_COUNT);
}

TEST(Pool, ReleaseFreesOnlyTheRecordDestroyFreesEverything) {
    // Release: the blocks still recorded stay allocated and intact (freeing
    // one by hand afterwards would be a double free had release freed it).
    MemPool* p = new_pool();
    unsigned char* kept = nullptr;
    ASSERT_EQ(guarded(p, [&] { kept = (unsigned char*)pool_alloc(p, 4000); }), 0);
    memset(kept, 0x5A, 4000);
    size_t before = heap_in_use();
    pool_release(p);
    size_t freed_by_release = before - heap_in_use();
    for (int i = 0; i < 4000; i++) ASSERT_EQ(kept[i], 0x5A) << i;
    EXPECT_EQ(kept[4000], 'Z');  // the trailer, untouched
    free(kept - POOL_BLOCK_HEADER);

    // Destroy: the same pool with the same block, and the block goes too.
    p = new_pool();
    ASSERT_EQ(guarded(p, [&] { kept = (unsigned char*)pool_alloc(p, 4000); }), 0);
    before = heap_in_use();
    pool_destroy(p);
    size_t freed_by_destroy = before - heap_in_use();
    if (heap_in_use() != 0) {  // the heap's figures are there (not under a sanitizer)
        EXPECT_GE(freed_by_release, POOL_SLOTS * sizeof(void*));
        EXPECT_GE(freed_by_destroy, freed_by_release + 4000);
    }
    pool_release(nullptr);  // harmless
    pool_destroy(nullptr);
}
