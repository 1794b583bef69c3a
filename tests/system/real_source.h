// What the system tests with real sources share: an ffmpeg sender of an H.264/AAC
// test stream, the chunk files of a channel in a cache folder, and waiting for a
// condition.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/os.h"
#include "tests/support/test_support.h"

// ffmpeg's arguments for sending a 320x240 test picture with a tone for `seconds`
// in real time to target, as broadcasters send it (H.264 4:2:0: from testsrc's RGB
// libx264 would otherwise pick High 4:4:4, on which mpegts.js in Chromium stops
// playing after 6 to 15 s; AAC), as out_format (mpegts, or hls into a folder); ts_offset
// (when not empty) moves its timestamps that many seconds on. An http:// target
// of mpegts is served by ffmpeg itself (-listen 1).
inline std::vector<std::string> sender_args(const std::string &out_format,
                                            const std::string &ts_offset, const std::string &target,
                                            int seconds = 240) {
    std::vector<std::string> a = {"-nostdin",
                                  "-hide_banner",
                                  "-loglevel",
                                  "error",
                                  "-re",
                                  "-f",
                                  "lavfi",
                                  "-i",
                                  "testsrc=size=320x240:rate=25",
                                  "-f",
                                  "lavfi",
                                  "-i",
                                  "sine=frequency=1000:sample_rate=48000",
                                  "-t",
                                  std::to_string(seconds),
                                  "-c:v",
                                  "libx264",
                                  "-preset",
                                  "ultrafast",
                                  "-tune",
                                  "zerolatency",
                                  "-pix_fmt",
                                  "yuv420p",
                                  "-g",
                                  "25",
                                  "-b:v",
                                  "500k",
                                  "-c:a",
                                  "aac",
                                  "-b:a",
                                  "64k"};
    if (!ts_offset.empty()) {
        a.push_back("-output_ts_offset");
        a.push_back(ts_offset);
    }
    a.push_back("-f");
    a.push_back(out_format);
    if (out_format == "hls") {
        for (const char *s :
             {"-hls_time", "2", "-hls_list_size", "5", "-hls_flags", "delete_segments"})
            a.push_back(s);
    }
    if (target.compare(0, 7, "http://") == 0 && out_format == "mpegts") {
        a.push_back("-listen");
        a.push_back("1");
    }
    a.push_back(target);
    return a;
}

// The chunk files of cid in dir, by number.
inline std::map<int, std::string> chunk_files(const std::string &dir, int cid) {
    std::map<int, std::string> found;
    std::error_code ec;
    for (const auto &e : std::filesystem::directory_iterator(dir, ec)) {
        int c = 0, n = 0;
        if (sscanf(e.path().filename().c_str(), "%d---%d.dat", &c, &n) == 2 && c == cid)
            found[n] = e.path().string();
    }
    return found;
}

inline bool wait_until(const std::function<bool()> &f, int timeout_ms) {
    int64_t end = test_now_ms() + timeout_ms;
    while (!f()) {
        if (test_now_ms() > end) return false;
        os_sleep_ms(200);
    }
    return true;
}
