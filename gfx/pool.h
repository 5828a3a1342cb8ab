// Guarded memory pool: every block is recorded in a fixed slot table and
// bracketed by guard values; every failure jumps back to the entry point the
// caller armed, carrying an error code.
//
// Block layout (one heap allocation of size + 18 bytes):
//
//   0          4        8            12         16              16+size
//   | magic    | size   | slot index | reserved | caller's bytes | 'Z' 0xF0 |
//   | AA53C5AA |        |            |          |                | trailer  |
//
// The pool hands out the address of offset 16.
//
// Guarded entry (every public text-engine and text-field operation that
// allocates):
//
//   *err = setjmp(pool->jump);
//   if (*err != 0) { pool_destroy(pool); return 0; }   // pool is gone
//   ... work; failures call pool_fail(pool, code) ...
//
// Guarded entries do not nest; inside one only unguarded operations run.
#ifndef CV_GFX_POOL_H
#define CV_GFX_POOL_H

#include <csetjmp>
#include <cstddef>
#include <cstdint>

// One error space for the pool, the text engine and the text-field objects;
// 0 means success.
enum {
    ERR_ENGINE_NO_POOL = 10000,
    ERR_GLYPH_MISSING = 10005,
    ERR_ENGINE_DAMAGED = 10007,
    ERR_NO_MEMORY = 10008,
    ERR_BLOCK_DAMAGED = 10009,
    ERR_NO_POOL = 10011,
    ERR_SLOTS_FULL = 10012,
    ERR_POOL_COUNT = 10013,
    ERR_RESIZE_FAILED = 10014,
    ERR_SLOT_MISMATCH = 10015,
    ERR_NO_FREE_SLOT = 10017
};

#define POOL_SLOTS 1021
#define POOL_SCRATCH 7
#define POOL_BLOCK_MAGIC 0xAA53C5AAu
#define POOL_BLOCK_HEADER 16
#define POOL_BLOCK_OVERHEAD 18

// One record per pool; the guard words are written, never checked.
struct MemPool {
    uint32_t guard0;               // 0xAB1500FF
    int32_t live;                  // blocks currently recorded
    int32_t slot_count;            // always POOL_SLOTS
    unsigned char** slots;         // block starts, or null
    jmp_buf jump;                  // armed by the guarded entry
    void* scratch_block[POOL_SCRATCH];
    uint32_t scratch_size[POOL_SCRATCH];
    unsigned char scratch_free[POOL_SCRATCH];
    uint32_t next_probe;           // slot where the next search begins
    uint32_t guard1;               // 0xAA005501; 0x5500AAFF once a failure jumped
    uint32_t guard2;               // 0xA5A55A5A
};

// Fault injection for tests: while positive, every pool_alloc and
// pool_realloc counts it down, and the one that brings it to zero fails with
// ERR_NO_MEMORY as if the heap were exhausted. 0 (the default) never fails.
extern long pool_fail_countdown;

MemPool* pool_create(int* err);
void* pool_alloc(MemPool* pool, uint32_t size);
void* pool_realloc(MemPool* pool, void* block, uint32_t size);
void pool_free(MemPool* pool, void* block);
[[noreturn]] void pool_fail(MemPool* pool, int code);
void pool_release(MemPool* pool);
void pool_destroy(MemPool* pool);

// Consistency check for tests: every recorded block leads back to its slot,
// has intact guards, and the live count matches the table. Returns the number
// of recorded blocks, or -1 when something is wrong.
int pool_check(const MemPool* pool);

#endif
