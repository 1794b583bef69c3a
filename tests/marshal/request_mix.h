// The request mix of the supervisor's long runs (the long-run test and the soak
// benchmark): request i is a live stream, an HLS playlist, an HLS chunk or a movie,
// each with a sid (no QI exchange), over seven CIDs, so CIDs are served by several
// streamers at once now and then.
#pragma once

#include <string>

inline std::string mixed_request(int i) {
    const std::string cid = std::to_string(100 + i % 7);
    switch (i % 4) {
    case 0:
        return "GET /stream?cid=" + cid + "&sid=s HTTP/1.1\r\n\r\n";
    case 1:
        return "GET /hls?cid=" + cid + "&sid=s HTTP/1.1\r\n\r\n";
    case 2:
        return "GET /hls?cid=" + cid + "&sid=s&chunk=" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
    default:
        return "GET /movie?cid=" + cid + "&sid=m HTTP/1.1\r\nRange: bytes=" + std::to_string(i) +
               "-\r\n\r\n";
    }
}
