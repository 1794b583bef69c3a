// Reading a growing chunk file block by block into the busy buffers pool, waiting for
// a block whose tail is still zero to be written.
#include "relay/relay.h"

#include <cstring>

#include "platform/os.h"

void wait_zero_tail(os_file *file, long got, int32_t *sum, const char *path, int attempt,
                    const char *op) {
    if (!file_seek(file, -got, FILE_FROM_CURRENT, nullptr))
        RLOG(SEV_E, op, "SetFilePointer() -> %d, errno = %d", -1, os_error());
    *sum -= (int32_t)got;
    RLOG(SEV_W, op, "'%s' - waiting %d milliseconds ... (%d/%d)", path, ZERO_TAIL_WAIT_MS, attempt,
         ZERO_TAIL_ATTEMPTS);
    g_relay.sleep_ms(g_relay.wait_ms);
}

// A full block is still being written when its last four packets are all zero.
bool has_zero_tail(const uint8_t *block) {
    uint32_t acc = 0;
    const uint8_t *tail = block + CHUNK_BLOCK - ZERO_TAIL;
    for (int i = 0; i < ZERO_TAIL / 4; i++) {
        uint32_t w;
        memcpy(&w, tail + 4 * i, 4);
        acc |= w;
    }
    return acc == 0;
}

// Neither a read nor a write of the file is one atomic step: a block read while its
// writer was busy in it can hold a stretch still read as zeros beside octets
// already written, and a writer held up in the middle of a write (a loaded machine
// preempts it) keeps it so for a while. Such a stretch holds an aligned zero word,
// which a transport stream's blocks hardly ever do: a block that holds one is read a
// second time SETTLE_MS later and kept only when both reads agree. Either way the
// file is left at the block's end.
bool block_settled(os_file *file, const uint8_t *block, long got, uint8_t *scratch) {
    bool zero_word = false;
    for (long i = 0; i + 8 <= got && !zero_word; i += 8) {
        uint64_t w;
        memcpy(&w, block + i, 8);
        zero_word = w == 0;
    }
    if (!zero_word) return true;
    if (!file_seek(file, -got, FILE_FROM_CURRENT, nullptr)) return true;
    g_relay.sleep_ms(SETTLE_MS);
    long again = file_read(file, scratch, (size_t)got);
    if (again == got) return memcmp(scratch, block, (size_t)got) == 0;
    file_seek(file, got - (again > 0 ? again : 0), FILE_FROM_CURRENT, nullptr);
    return false;
}

block_verdict judge_block(os_file *file, const uint8_t *block, long got, uint8_t *scratch,
                          int32_t *rereads, int32_t *sum) {
    if (has_zero_tail(block)) {
        *rereads = 0;
        return BLOCK_WAIT;
    }
    if (block_settled(file, block, got, scratch)) {
        *rereads = 0;
        return BLOCK_KEEP;
    }
    if (++*rereads >= SETTLE_REREADS) {
        *rereads = 0;
        return BLOCK_WAIT; // a writer still at work in it: wait as for a zero tail
    }
    file_seek(file, -got, FILE_FROM_CURRENT, nullptr);
    *sum -= (int32_t)got;
    return BLOCK_REREAD;
}

// Gives a held buffer back to the free pool.
static void return_held(stream_buffer **held) {
    if (*held) free_append(*held);
    *held = nullptr;
}

int32_t read_stream_file(os_file *file, const char *path) {
    static const char op[] = "read_stream_file";
    g_relay.sleep_ms(256);
    static uint8_t scratch[CHUNK_BLOCK]; // the scanning thread's second read
    stream_buffer *buf = nullptr;
    int32_t sum = 0, attempts = 0, rereads = 0;
    while (g_relay.exit_flag == 0) {
        if (!buf && !(pool_take(&g_free_pool, &buf) & 1)) {
            buf = nullptr;
            if (!wake_wait(&g_space_available, &g_free_pool)) {
                int err = os_error();
                g_relay.exit_flag = RLOG(SEV_F, op, "SleepConditionVariableCS(), errno = %d", err);
                return SEV_F;
            }
            continue;
        }
        long got = file_read(file, buf->data, CHUNK_BLOCK);
        if (got < 0) {
            int err = os_error();
            return_held(&buf);
            return RLOG(SEV_E, op, "ReadFile(), errno = %d", err);
        }
        buf->length = (int32_t)got;
        if (got == 0) break;
        sum += (int32_t)got;
        if (got < CHUNK_BLOCK) {
            int32_t st = pool_put(&g_busy_pool, buf);
            if (!(st & 1)) {
                return_held(&buf);
                g_relay.exit_flag =
                    RLOG(SEV_F, op, "Insert to busy buffers pool, status = %08x", st);
                return SEV_F;
            }
            buf = nullptr;
            break;
        }
        block_verdict v = judge_block(file, buf->data, got, scratch, &rereads, &sum);
        if (v == BLOCK_REREAD) continue;
        if (v == BLOCK_KEEP) {
            int32_t st = busy_append_full(buf);
            if (!(st & 1)) {
                return_held(&buf);
                g_relay.exit_flag =
                    RLOG(SEV_E, op, "Insert to busy buffers pool, status = %08x", st);
                return SEV_E;
            }
            buf = nullptr;
            attempts = 0;
            continue;
        }
        if (++attempts > ZERO_TAIL_ATTEMPTS) {
            return_held(&buf);
            return RLOG(SEV_E, op, "'%s' - stop reading file after %d attempts (zero-blocks).",
                        path, ZERO_TAIL_ATTEMPTS);
        }
        wait_zero_tail(file, got, &sum, path, attempts, op);
    }
    return_held(&buf);
    return RLOG(SEV_S, op, "Loaded from '%s' %d octets", path, sum);
}
