// libavformat does the protocols: UDP (unicast and multicast), RTP, HTTP(S), HLS and
// SRT. MPEG-TS that arrives as a byte stream is handed on as it is; HLS and RTP are
// demuxed and muxed again into one MPEG-TS (packets copied, nothing re-encoded), by
// one muxer that lives as long as the receiver, so that its continuity counters run
// on across reconnections, with one timestamp offset that carries the stream on
// where the source restarts or jumps.
#include "fetcher/sources/av_input.h"

#include <cstdio>
#include <cstring>
#include <ctime>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

namespace {

enum {
    PEEK = 2048,
    MUX_IO = 188 * 64,
    STAGE = 1 << 20, // muxed octets not yet taken by a read
    MAX_STREAMS = 16,
};
const int64_t TICKS = 90000;

int64_t mono_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

struct av_source {
    const std::atomic<bool> *stop;
    int64_t deadline_ms; // of the blocking call in progress
    AVIOInterruptCB interrupt;
    av_mode mode;
    AVIOContext *raw;
    uint8_t peek[PEEK];
    int peeked, peek_at;
    AVFormatContext *in;
    // the muxer
    AVFormatContext *out;
    uint8_t *out_io_buf;
    int map[MAX_STREAMS]; // input stream -> output stream, -1 left out
    int nout;
    AVCodecID out_codecs[MAX_STREAMS];
    int64_t last_dts[MAX_STREAMS]; // 90 kHz, offset applied
    int64_t end_max;               // the latest dts + duration sent, 90 kHz
    int64_t offset;                // 90 kHz
    bool resync;
    AVPacket *pkt; // made once
    uint8_t stage[STAGE];
    size_t staged;
};

namespace {

int on_interrupt(void *opaque) {
    av_source *s = static_cast<av_source *>(opaque);
    return (s->stop && *s->stop) || mono_ms() > s->deadline_ms;
}

void why_of(int err, const char *what, char *why) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, text, sizeof text);
    snprintf(why, AV_WHY_MAX, "%s: %s", what, text);
}

int mux_write(void *opaque, uint8_t *data, int n) { // not const before libavformat 61
    av_source *s = static_cast<av_source *>(opaque);
    size_t room = STAGE - s->staged;
    size_t take = size_t(n) < room ? size_t(n) : room; // a full stage drops: never blocks
    memcpy(s->stage + s->staged, data, take);
    s->staged += take;
    return n;
}

void close_muxer(av_source *s) {
    if (!s->out) return;
    av_write_trailer(s->out);
    if (s->out->pb) {
        av_freep(&s->out->pb->buffer);
        avio_context_free(&s->out->pb);
    }
    avformat_free_context(s->out);
    s->out = nullptr;
    s->nout = 0;
}

// The muxer for the input's audio, video and subtitle streams; the one there is
// stays when the streams are the same kinds as before.
bool open_muxer(av_source *s, char *why) {
    AVCodecID codecs[MAX_STREAMS];
    int n = 0;
    for (unsigned i = 0; i < s->in->nb_streams && i < MAX_STREAMS; i++) {
        AVCodecParameters *p = s->in->streams[i]->codecpar;
        bool take = p->codec_type == AVMEDIA_TYPE_VIDEO || p->codec_type == AVMEDIA_TYPE_AUDIO ||
                    p->codec_type == AVMEDIA_TYPE_SUBTITLE;
        s->map[i] = take ? n : -1;
        if (take) codecs[n++] = p->codec_id;
    }
    if (n == 0) {
        snprintf(why, AV_WHY_MAX, "no audio or video stream in the source");
        return false;
    }
    if (s->out && n == s->nout && memcmp(codecs, s->out_codecs, sizeof(AVCodecID) * size_t(n)) == 0)
        return true;
    close_muxer(s);
    int err = avformat_alloc_output_context2(&s->out, nullptr, "mpegts", nullptr);
    if (err < 0 || !s->out) {
        why_of(err, "mpegts muxer", why);
        return false;
    }
    uint8_t *io = static_cast<uint8_t *>(av_malloc(MUX_IO));
    s->out->pb = avio_alloc_context(io, MUX_IO, 1, s, nullptr, mux_write, nullptr);
    for (unsigned i = 0; i < s->in->nb_streams && i < MAX_STREAMS; i++) {
        if (s->map[i] < 0) continue;
        AVStream *o = avformat_new_stream(s->out, nullptr);
        avcodec_parameters_copy(o->codecpar, s->in->streams[i]->codecpar);
        o->codecpar->codec_tag = 0;
        o->time_base = AVRational{1, int(TICKS)};
    }
    err = avformat_write_header(s->out, nullptr);
    if (err < 0) {
        why_of(err, "mpegts header", why);
        close_muxer(s);
        return false;
    }
    s->nout = n;
    memcpy(s->out_codecs, codecs, sizeof(AVCodecID) * size_t(n));
    for (int64_t &d : s->last_dts)
        d = INT64_MIN;
    return true;
}

// One demuxed packet into the muxer, its timestamps carried on past restarts and jumps.
void remux_packet(av_source *s, AVPacket *pkt) {
    int o = pkt->stream_index < MAX_STREAMS ? s->map[pkt->stream_index] : -1;
    if (o < 0) return;
    AVRational tb = s->in->streams[pkt->stream_index]->time_base;
    av_packet_rescale_ts(pkt, tb, AVRational{1, int(TICKS)});
    if (pkt->dts == AV_NOPTS_VALUE) pkt->dts = pkt->pts;
    if (pkt->dts == AV_NOPTS_VALUE) return;
    int64_t d = pkt->dts + s->offset;
    bool known = s->end_max != INT64_MIN;
    if (known && (s->resync || d > s->end_max + 2 * TICKS || d < s->end_max - 2 * TICKS)) {
        s->offset = s->end_max - pkt->dts;
        d = pkt->dts + s->offset;
    }
    s->resync = false;
    if (s->last_dts[o] != INT64_MIN && d <= s->last_dts[o]) return; // would go back
    pkt->dts = d;
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += s->offset;
    if (pkt->pts != AV_NOPTS_VALUE && pkt->pts < pkt->dts) pkt->pts = pkt->dts;
    s->last_dts[o] = d;
    int64_t end = d + (pkt->duration > 0 ? pkt->duration : 1);
    if (!known || end > s->end_max) s->end_max = end;
    pkt->stream_index = o;
    pkt->pos = -1;
    av_write_frame(s->out, pkt);
}

bool is_playlist(const uint8_t *p, int n) {
    int i = 0;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) i = 3;
    while (i < n && (p[i] == ' ' || p[i] == '\r' || p[i] == '\n' || p[i] == '\t'))
        i++;
    return n - i >= 7 && memcmp(p + i, "#EXTM3U", 7) == 0;
}

av_mode open_remux(av_source *s, const char *url, char *why) {
    s->in = avformat_alloc_context();
    s->in->interrupt_callback = s->interrupt;
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "reconnect", "0", 0);
    int err = avformat_open_input(&s->in, url, nullptr, &opts);
    av_dict_free(&opts);
    if (err < 0) {
        why_of(err, "open", why);
        return AV_FAILED; // avformat_open_input freed the context
    }
    s->in->probesize = 2 << 20;
    err = avformat_find_stream_info(s->in, nullptr);
    if (err < 0) {
        why_of(err, "stream info", why);
        avformat_close_input(&s->in);
        return AV_FAILED;
    }
    if (!open_muxer(s, why)) {
        avformat_close_input(&s->in);
        return AV_FAILED;
    }
    s->resync = true;
    return AV_REMUX;
}

} // namespace

av_source *av_source_new(const std::atomic<bool> *stop) {
    av_source *s = static_cast<av_source *>(calloc(1, sizeof(av_source)));
    if (!s) return nullptr;
    s->stop = stop;
    s->interrupt.callback = on_interrupt;
    s->interrupt.opaque = s;
    s->end_max = INT64_MIN;
    s->pkt = av_packet_alloc();
    av_log_set_level(AV_LOG_QUIET);
    return s;
}

void av_source_free(av_source *s) {
    if (!s) return;
    av_source_close(s);
    close_muxer(s);
    av_packet_free(&s->pkt);
    free(s);
}

av_mode av_source_open(av_source *s, const char *url, int timeout_ms, char *why) {
    av_source_close(s);
    s->deadline_ms = mono_ms() + timeout_ms;
    s->staged = 0;
    const bool http = strncmp(url, "http://", 7) == 0 || strncmp(url, "https://", 8) == 0;
    if (strncmp(url, "rtp://", 6) == 0) return s->mode = open_remux(s, url, why);
    // A byte stream; an HTTP answer that is a playlist is HLS and goes to the demuxer.
    AVDictionary *opts = nullptr;
    if (strncmp(url, "udp://", 6) == 0) {
        av_dict_set(&opts, "overrun_nonfatal", "1", 0);
        av_dict_set(&opts, "fifo_size", "65536", 0); // in 188-octet units: about 12 MB
    }
    int err = avio_open2(&s->raw, url, AVIO_FLAG_READ, &s->interrupt, &opts);
    av_dict_free(&opts);
    if (err < 0) {
        why_of(err, "open", why);
        s->raw = nullptr;
        return s->mode = AV_FAILED;
    }
    s->peeked = s->peek_at = 0;
    if (http) {
        int n = avio_read(s->raw, s->peek, PEEK);
        if (n <= 0) {
            why_of(n < 0 ? n : AVERROR_EOF, "read", why);
            avio_closep(&s->raw);
            return s->mode = AV_FAILED;
        }
        s->peeked = n;
        if (is_playlist(s->peek, n)) {
            avio_closep(&s->raw);
            return s->mode = open_remux(s, url, why);
        }
    }
    return s->mode = AV_RAW;
}

long av_source_read(av_source *s, uint8_t *buf, size_t cap, int timeout_ms, int64_t *clock,
                    char *why) {
    *clock = -1;
    s->deadline_ms = mono_ms() + timeout_ms;
    if (s->mode == AV_RAW) {
        if (s->peek_at < s->peeked) {
            size_t n = size_t(s->peeked - s->peek_at) < cap ? size_t(s->peeked - s->peek_at) : cap;
            memcpy(buf, s->peek + s->peek_at, n);
            s->peek_at += int(n);
            return long(n);
        }
        int n = avio_read_partial(s->raw, buf, int(cap));
        if (n > 0) return n;
        if (n == 0 || (s->stop && *s->stop)) return 0;
        if (n == AVERROR_EXIT || mono_ms() > s->deadline_ms) return 0;
        why_of(n, "read", why);
        return -1;
    }
    if (s->mode != AV_REMUX) {
        snprintf(why, AV_WHY_MAX, "not open");
        return -1;
    }
    AVPacket *pkt = s->pkt;
    while (s->staged == 0) {
        int err = av_read_frame(s->in, pkt);
        if (err < 0) {
            if ((s->stop && *s->stop) || mono_ms() > s->deadline_ms) return 0;
            why_of(err, "read", why);
            return -1;
        }
        remux_packet(s, pkt);
        av_packet_unref(pkt);
        avio_flush(s->out->pb);
    }
    size_t n = s->staged < cap ? s->staged : cap;
    n -= n % 188;
    if (n == 0) n = s->staged < cap ? s->staged : cap;
    memcpy(buf, s->stage, n);
    memmove(s->stage, s->stage + n, s->staged - n);
    s->staged -= n;
    *clock = s->end_max == INT64_MIN ? -1 : s->end_max;
    return long(n);
}

void av_source_close(av_source *s) {
    if (s->raw) avio_closep(&s->raw);
    if (s->in) avformat_close_input(&s->in);
    s->mode = AV_FAILED;
    s->resync = true;
}

bool av_available() {
    return true;
}
