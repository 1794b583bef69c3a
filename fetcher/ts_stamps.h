// Reading and writing the timestamps of transport-stream packets: PES PTS/DTS
// (90 kHz, 33 bits) and the adaptation field's PCR (27 MHz). Shared by the looped
// local signal and the live sources.
#pragma once

#include <cstdint>

namespace ts {

enum { PACKET = 188, SYNC = 0x47, NULL_PID = 0x1FFF };
const int64_t PTS_MOD = int64_t(1) << 33;
const int64_t PCR_MOD = PTS_MOD * 300;

inline int pid_of(const uint8_t *p) {
    return ((p[1] & 0x1F) << 8) | p[2];
}

inline int64_t wrap(int64_t v, int64_t mod) {
    v %= mod;
    return v < 0 ? v + mod : v;
}

inline int64_t read_stamp(const uint8_t *p) {
    return (int64_t(p[0] >> 1 & 7) << 30) | (int64_t(p[1]) << 22) | (int64_t(p[2] >> 1) << 15) |
           (int64_t(p[3]) << 7) | (p[4] >> 1);
}

inline void write_stamp(uint8_t *p, int64_t v) {
    p[0] = uint8_t((p[0] & 0xF1) | ((v >> 29) & 0x0E));
    p[1] = uint8_t(v >> 22);
    p[2] = uint8_t(((v >> 14) & 0xFE) | 1);
    p[3] = uint8_t(v >> 7);
    p[4] = uint8_t(((v << 1) & 0xFE) | 1);
}

// The PES header of a packet that starts one: offset of the PTS (and of the DTS,
// 0 when absent) in the packet, or false.
inline bool pes_stamps(const uint8_t *p, int *pts_at, int *dts_at) {
    if (!(p[1] & 0x40) || !(p[3] & 0x10)) return false;
    int at = 4;
    if (p[3] & 0x20) at += 1 + p[4];
    if (at + 19 > PACKET) return false;
    const uint8_t *h = p + at;
    if (h[0] != 0 || h[1] != 0 || h[2] != 1) return false;
    uint8_t sid = h[3];
    if (sid == 0xBC || sid == 0xBE || sid == 0xBF || sid == 0xF0 || sid == 0xF1 || sid == 0xF2 ||
        sid == 0xF8 || sid == 0xFF || (h[6] & 0xC0) != 0x80)
        return false;
    int flags = h[7] >> 6;
    if (flags < 2) return false;
    *pts_at = at + 9;
    *dts_at = flags == 3 ? at + 14 : 0;
    return true;
}

inline bool has_pcr(const uint8_t *p) {
    return (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10);
}

inline int64_t read_pcr(const uint8_t *p) {
    uint64_t base = (uint64_t(p[6]) << 25) | (uint64_t(p[7]) << 17) | (uint64_t(p[8]) << 9) |
                    (uint64_t(p[9]) << 1) | (p[10] >> 7);
    return int64_t(base * 300 + (((p[10] & 1u) << 8) | p[11]));
}

inline void write_pcr(uint8_t *p, int64_t pcr) {
    uint64_t base = uint64_t(pcr / 300), ext = uint64_t(pcr % 300);
    p[6] = uint8_t(base >> 25);
    p[7] = uint8_t(base >> 17);
    p[8] = uint8_t(base >> 9);
    p[9] = uint8_t(base >> 1);
    p[10] = uint8_t(((base & 1) << 7) | 0x7E | (ext >> 8));
    p[11] = uint8_t(ext);
}

} // namespace ts
