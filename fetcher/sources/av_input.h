// A network source opened and read through libavformat. The only header of the
// fetcher behind which libav lives: av_input.cpp includes libav, av_none.cpp stands
// in where the build has no libav (the Windows build).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct av_source; // one per receiver; its muxer outlives reconnections

enum av_mode {
    AV_FAILED = 0,
    AV_RAW = 1,   // octets as the source sends them (MPEG-TS over UDP, HTTP, SRT)
    AV_REMUX = 3, // demuxed and muxed again into MPEG-TS, without re-encoding (HLS, RTP)
};

enum { AV_WHY_MAX = 160 };

av_source *av_source_new(const std::atomic<bool> *stop);
void av_source_free(av_source *s);
// Opens url within timeout_ms; AV_FAILED with why filled when it cannot.
av_mode av_source_open(av_source *s, const char *url, int timeout_ms, char *why);
// Up to cap octets: raw octets, or whole remuxed packets; *clock gets the stream's
// clock (90 kHz) of a remuxed read, -1 for raw. 0: no data within timeout_ms;
// -1: the source ended or failed (why filled).
long av_source_read(av_source *s, uint8_t *buf, size_t cap, int timeout_ms, int64_t *clock,
                    char *why);
void av_source_close(av_source *s);
// Whether this build reads network sources.
bool av_available();
