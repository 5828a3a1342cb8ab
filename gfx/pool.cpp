// Guarded memory pool: slot table, guarded blocks, failures by non-local jump.
#include "gfx/pool.h"

#include <cstdlib>
#include <cstring>

#define POOL_GUARD0 0xAB1500FFu
#define POOL_GUARD1 0xAA005501u
#define POOL_GUARD1_FAILED 0x5500AAFFu
#define POOL_GUARD2 0xA5A55A5Au
#define TRAILER0 0x5A
#define TRAILER1 0xF0

static uint32_t block_word(const unsigned char* block, int offset) {
    uint32_t v;
    memcpy(&v, block + offset, 4);
    return v;
}

static void set_block_word(unsigned char* block, int offset, uint32_t v) {
    memcpy(block + offset, &v, 4);
}

static void write_trailer(unsigned char* block, uint32_t size) {
    block[POOL_BLOCK_HEADER + size] = TRAILER0;
    block[POOL_BLOCK_HEADER + size + 1] = TRAILER1;
}

// Magic and trailer intact? The size is read only after the magic matched, so
// a stray pointer into foreign memory is refused before the trailer is read.
static int block_intact(const unsigned char* block) {
    if (block_word(block, 0) != POOL_BLOCK_MAGIC) return 0;
    uint32_t size = block_word(block, 4);
    return block[POOL_BLOCK_HEADER + size] == TRAILER0 &&
           block[POOL_BLOCK_HEADER + size + 1] == TRAILER1;
}

MemPool* pool_create(int* err) {
    *err = 0;
    MemPool* pool = (MemPool*)malloc(sizeof(MemPool));
    if (!pool) {
        *err = ERR_NO_MEMORY;
        return nullptr;
    }
    pool->guard0 = POOL_GUARD0;
    pool->live = 0;
    pool->slot_count = POOL_SLOTS;
    for (int i = 0; i < POOL_SCRATCH; i++) {
        pool->scratch_block[i] = nullptr;
        pool->scratch_size[i] = 0;
        pool->scratch_free[i] = 1;
    }
    pool->next_probe = 0;
    pool->guard1 = POOL_GUARD1;
    pool->guard2 = POOL_GUARD2;
    pool->slots = (unsigned char**)calloc(POOL_SLOTS, sizeof(unsigned char*));
    if (!pool->slots) {
        free(pool);
        *err = ERR_NO_MEMORY;
        return nullptr;
    }
    return pool;
}

long pool_fail_countdown;

// The test switch: this call is the one that fails.
static int injected_failure() { return pool_fail_countdown > 0 && --pool_fail_countdown == 0; }

void* pool_alloc(MemPool* pool, uint32_t size) {
    // size + 18 must not wrap around
    if (size > UINT32_MAX - POOL_BLOCK_OVERHEAD || injected_failure()) pool_fail(pool, ERR_NO_MEMORY);
    unsigned char* block = (unsigned char*)malloc((size_t)size + POOL_BLOCK_OVERHEAD);
    if (!block) pool_fail(pool, ERR_NO_MEMORY);
    set_block_word(block, 0, POOL_BLOCK_MAGIC);
    set_block_word(block, 4, size);
    write_trailer(block, size);
    if (pool->live >= pool->slot_count) {
        // the block is recorded nowhere; give it back before jumping
        free(block);
        pool_fail(pool, ERR_SLOTS_FULL);
    }
    uint32_t p = pool->next_probe % POOL_SLOTS;
    int found = 0;
    for (int tries = 0; tries < POOL_SLOTS; tries++) {
        if (!pool->slots[p]) {
            pool->slots[p] = block;
            set_block_word(block, 8, p);
            pool->live++;
            found = 1;
            break;
        }
        p = (p + 1) % POOL_SLOTS;
    }
    pool->next_probe = p;
    if (!found) {
        free(block);
        pool_fail(pool, ERR_NO_FREE_SLOT);
    }
    return block + POOL_BLOCK_HEADER;
}

// Slot of a recorded block, or -1. Releases look the address up in the table
// before reading anything at it, so a block released twice, or an address the
// pool never handed out, is refused without touching memory the heap owns.
static int recorded_slot(const MemPool* pool, const unsigned char* block) {
    for (int i = 0; i < POOL_SLOTS; i++) {
        if (pool->slots[i] == block) return i;
    }
    return -1;
}

void pool_free(MemPool* pool, void* address) {
    if (!address) return;
    unsigned char* block = (unsigned char*)address - POOL_BLOCK_HEADER;
    int slot = recorded_slot(pool, block);
    if (slot < 0) pool_fail(pool, ERR_SLOT_MISMATCH);
    if (!block_intact(block)) pool_fail(pool, ERR_BLOCK_DAMAGED);
    if (block_word(block, 8) != (uint32_t)slot) pool_fail(pool, ERR_SLOT_MISMATCH);
    pool->slots[slot] = nullptr;
    pool->live--;
    free(block);
}

void* pool_realloc(MemPool* pool, void* address, uint32_t size) {
    if (!address) return nullptr;
    unsigned char* block = (unsigned char*)address - POOL_BLOCK_HEADER;
    int slot = recorded_slot(pool, block);
    if (slot < 0) pool_fail(pool, ERR_SLOT_MISMATCH);
    if (!block_intact(block)) pool_fail(pool, ERR_BLOCK_DAMAGED);
    if (pool->live < 1 || pool->live > pool->slot_count) pool_fail(pool, ERR_POOL_COUNT);
    if (block_word(block, 8) != (uint32_t)slot) pool_fail(pool, ERR_SLOT_MISMATCH);
    if (size > UINT32_MAX - POOL_BLOCK_OVERHEAD || injected_failure()) pool_fail(pool, ERR_RESIZE_FAILED);
    unsigned char* moved = (unsigned char*)realloc(block, (size_t)size + POOL_BLOCK_OVERHEAD);
    if (!moved) {
        // The old block is still valid and stays recorded, so that
        // pool_destroy frees it rather than losing it.
        pool_fail(pool, ERR_RESIZE_FAILED);
    }
    pool->slots[slot] = moved;
    if (block_word(moved, 0) != POOL_BLOCK_MAGIC) pool_fail(pool, ERR_BLOCK_DAMAGED);
    set_block_word(moved, 4, size);
    write_trailer(moved, size);
    return moved + POOL_BLOCK_HEADER;
}

void pool_fail(MemPool* pool, int code) {
    pool->guard1 = POOL_GUARD1_FAILED;
    longjmp(pool->jump, code);
}

void pool_release(MemPool* pool) {
    if (!pool) return;
    for (int i = 0; i < POOL_SCRATCH; i++) {
        if (pool->scratch_block[i]) pool_free(pool, pool->scratch_block[i]);
        pool->scratch_block[i] = nullptr;
        pool->scratch_size[i] = 0;
        pool->scratch_free[i] = 1;
    }
    free(pool->slots);
    free(pool);
}

void pool_destroy(MemPool* pool) {
    if (!pool) return;
    for (int i = 0; i < POOL_SLOTS; i++) {
        if (pool->slots[i]) free(pool->slots[i]);
    }
    free(pool->slots);
    free(pool);
}

int pool_check(const MemPool* pool) {
    if (!pool || pool->slot_count != POOL_SLOTS) return -1;
    int n = 0;
    for (uint32_t i = 0; i < POOL_SLOTS; i++) {
        const unsigned char* block = pool->slots[i];
        if (!block) continue;
        n++;
        if (!block_intact(block) || block_word(block, 8) != i) return -1;
    }
    return n == pool->live ? n : -1;
}
