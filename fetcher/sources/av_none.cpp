// The build without libavformat: network sources are refused with the reason.
#include "fetcher/sources/av_input.h"

#include <cstdio>

av_source *av_source_new(const std::atomic<bool> *) {
    return nullptr;
}
void av_source_free(av_source *) {}
av_mode av_source_open(av_source *, const char *, int, char *why) {
    snprintf(why, AV_WHY_MAX, "this build reads no network sources (no libavformat)");
    return AV_FAILED;
}
long av_source_read(av_source *, uint8_t *, size_t, int, int64_t *, char *why) {
    snprintf(why, AV_WHY_MAX, "no libavformat");
    return -1;
}
void av_source_close(av_source *) {}
bool av_available() {
    return false;
}
