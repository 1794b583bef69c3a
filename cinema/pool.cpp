// The movie streamer's buffer lists: 1024 static buffers of 4096 bytes that move
// between the free and the busy list. Both lists are FIFO, so the busy list hands
// the data to the streaming thread in file order. Locks are only tried, in a spin.
#include "cinema/cinema.h"

movie_buffer g_movie_buffers[MOVIE_BUFFERS];

bool try_lock_spin(std::mutex &lock) {
    for (uint32_t i = 0; i < 4294967295u; i++)
        if (lock.try_lock()) return true;
    return false;
}

int32_t pool_put(buffer_list *list, movie_buffer *buffer) {
    if (!try_lock_spin(list->lock)) return -1;
    buffer->older = list->newest;
    buffer->newer = nullptr;
    if (list->newest)
        list->newest->newer = buffer;
    else
        list->oldest = buffer;
    list->newest = buffer;
    int32_t before = list->count++;
    list->lock.unlock();
    return before;
}

movie_buffer *pool_get(buffer_list *list) {
    if (!try_lock_spin(list->lock)) return nullptr;
    if (list->count == 0) {
        list->lock.unlock();
        return nullptr;
    }
    movie_buffer *buffer = list->oldest;
    list->oldest = buffer->newer;
    if (list->oldest) list->oldest->older = nullptr;
    if (--list->count == 0) {
        list->oldest = nullptr;
        list->newest = nullptr;
    }
    list->lock.unlock();
    buffer->older = nullptr;
    buffer->newer = nullptr;
    return buffer;
}

void pool_fill(buffer_list *list, movie_buffer *buffers, int count) {
    for (int i = 0; i < count; i++)
        pool_put(list, &buffers[i]);
}
