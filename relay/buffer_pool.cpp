// Buffer pool: 1536 static buffers circulating between the free and the busy pool,
// two FIFO queues guarded by try-locks, and the two timed wake-ups between the
// scanning and the streaming thread.
#include "relay/relay.h"

#include <chrono>

#include "platform/memory.h"

stream_buffer g_buffers[POOL_BUFFERS];
// Data areas apart from the records, so that filling the pools touches only the
// small records and an idle relay stays small in memory. One spare large page of
// address space lets the areas start on a large-page boundary (never touched).
static uint8_t s_data_space[POOL_BUFFERS * BUFFER_DATA + OS_LARGE_PAGE];
static uint8_t *s_data;
// Data areas of the buffers in the free pool, most recently returned on top. The
// free pool hands out its buffer records first in, first out, but each taken record
// gets the area on top of this stack: the area the sender has just finished with,
// still mapped and in the processor's caches. Only as many areas as blocks are in
// flight are ever touched, instead of all 96 MiB in turn. Guarded by the free
// pool's lock; holds exactly one area per buffer in the free pool.
static uint8_t *s_free_areas[POOL_BUFFERS];
static int32_t s_free_area_count;
buffer_pool g_free_pool, g_busy_pool;
wake_up g_space_available, g_data_available;
uint32_t g_pool_lock_tries = 4294967295u;

// Tries the lock without blocking, again and again with no pause.
int32_t pool_lock(buffer_pool *pool) {
    uint32_t tries = g_pool_lock_tries;
    for (uint32_t i = 0; i < tries; i++) {
        if (pool->lock.try_lock()) return POOL_DONE;
    }
    return POOL_OTHER_OWNER;
}

int32_t pool_take(buffer_pool *pool, stream_buffer **out) {
    *out = nullptr;
    if (!(pool_lock(pool) & 1)) return POOL_NO_LOCK;
    if (pool->count == 0) {
        pool->lock.unlock();
        return POOL_EMPTY;
    }
    stream_buffer *buf = pool->head;
    pool->head = buf->next;
    if (pool->head) pool->head->previous = nullptr;
    buf->previous = buf->next = nullptr;
    buf->owner = nullptr;
    if (pool == &g_free_pool) buf->data = s_free_areas[--s_free_area_count];
    if (--pool->count == 0) pool->head = pool->tail = nullptr;
    pool->lock.unlock();
    *out = buf;
    return POOL_DONE;
}

int32_t pool_put(buffer_pool *pool, stream_buffer *buf, int32_t *count_before) {
    if (count_before) *count_before = -1;
    if (buf->owner == pool) return POOL_DONE;
    if (buf->owner != nullptr) return POOL_OTHER_OWNER;
    if (!(pool_lock(pool) & 1)) return POOL_NO_LOCK;
    buf->previous = pool->tail;
    buf->next = nullptr;
    if (pool->tail)
        pool->tail->next = buf;
    else
        pool->head = buf;
    buf->owner = pool;
    pool->tail = buf;
    if (pool == &g_free_pool) {
        s_free_areas[s_free_area_count++] = buf->data;
        buf->data = nullptr;
    }
    if (count_before) *count_before = pool->count;
    pool->count++;
    pool->lock.unlock();
    return POOL_DONE;
}

void pools_init() {
    for (buffer_pool *p : {&g_free_pool, &g_busy_pool}) {
        p->head = p->tail = nullptr;
        p->count = 0;
    }
    if (!s_data) {
        uintptr_t at = reinterpret_cast<uintptr_t>(s_data_space);
        at = (at + OS_LARGE_PAGE - 1) & ~uintptr_t(OS_LARGE_PAGE - 1);
        s_data = reinterpret_cast<uint8_t *>(at);
        // Large pages make the first filling of the pool cheap; a refused hint only
        // costs speed.
        os_memory_hint_large_pages(s_data, size_t(POOL_BUFFERS) * BUFFER_DATA);
    }
    s_free_area_count = 0;
    for (int i = 0; i < POOL_BUFFERS; i++) {
        stream_buffer *b = &g_buffers[i];
        b->previous = b->next = nullptr;
        b->owner = nullptr;
        b->length = 0;
        // Stacked in reverse so that the areas are first handed out in address order.
        b->data = s_data + size_t(POOL_BUFFERS - 1 - i) * BUFFER_DATA;
        pool_put(&g_free_pool, b);
    }
    g_space_available.signals = 0;
    g_data_available.signals = 0;
}

// Wakes one waiter. The wake-up's lock is taken for a moment, so a signal cannot fall
// between a waiter's look at its pool and its sleep (it would be lost and cost the
// waiter a whole 4230 ms period).
void wake_signal(wake_up *w) {
    { std::lock_guard<std::mutex> guard(w->cs); }
    w->signals++;
    w->cv.notify_one();
}

// Sleeps at most g_relay.wait_ms, unless the pool the waiter takes from has a buffer.
bool wake_wait(wake_up *w, buffer_pool *ready) {
    std::unique_lock<std::mutex> guard(w->cs);
    if (ready && (pool_lock(ready) & 1)) {
        int32_t count = ready->count;
        ready->lock.unlock();
        if (count > 0) return true;
    }
    w->cv.wait_for(guard, std::chrono::milliseconds(g_relay.wait_ms));
    return true;
}

// A full block for the sender; wakes it at the first buffer and each quarter of the pool.
int32_t busy_append_full(stream_buffer *buf) {
    int32_t before = -1;
    int32_t st = pool_put(&g_busy_pool, buf, &before);
    if ((st & 1) &&
        (before == 0 || before == 383 || before == 767 || before == 1151 || before == 1535))
        wake_signal(&g_data_available);
    return st;
}

// A sent buffer back; wakes the reader at half, three quarters, about nine tenths
// and all of the pool.
int32_t free_append(stream_buffer *buf) {
    int32_t before = -1;
    int32_t st = pool_put(&g_free_pool, buf, &before);
    if ((st & 1) && (before == 767 || before == 1151 || before == 1382 || before == 1535))
        wake_signal(&g_space_available);
    return st;
}
