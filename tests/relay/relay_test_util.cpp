// Helpers shared by the relay's tests. Files are written through the platform layer;
// run_command needs a POSIX shell and is Linux only.
#include "tests/relay/relay_test_util.h"

#include <cstdio>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "platform/fs.h"

int count_relay_lines(const std::string &output, char sev, const std::string &message) {
    std::string needle = std::string("%RELAY-") + sev + ": " + message + "\n";
    int n = 0;
    for (size_t pos = output.find(needle); pos != std::string::npos;
         pos = output.find(needle, pos + 1))
        n++;
    return n;
}

bool has_relay_line(const std::string &output, char sev, const std::string &message) {
    return count_relay_lines(output, sev, message) > 0;
}

std::string make_packets(size_t n, uint32_t seed) {
    std::string out;
    out.reserve(n * 188);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        out.push_back(0x47);
        out.push_back(0x01);
        out.push_back(0x00);
        out.push_back((char)(0x10 | (i & 15)));
        for (int j = 4; j < 188; j++) {
            x = x * 1664525u + 1013904223u;
            out.push_back((char)((x >> 24) | 1)); // never zero
        }
    }
    return out;
}

std::string null_frame(uint8_t octet3) {
    std::string f(188, '\xFF');
    f[0] = 0x47;
    f[1] = 0x1F;
    f[2] = (char)0xFF;
    f[3] = (char)octet3;
    return f;
}

std::string strip_null_frames(const std::string &ts, std::vector<uint8_t> *counters) {
    std::string out;
    for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
        if ((uint8_t)ts[i + 1] == 0x1F && (uint8_t)ts[i + 2] == 0xFF) {
            if (counters) counters->push_back((uint8_t)ts[i + 3]);
            continue;
        }
        out.append(ts, i, 188);
    }
    return out;
}

bool write_at(const std::string &path, const std::string &data, uint64_t offset) {
    os_file f;
    if (!file_open_write(path.c_str(), &f)) return false;
    bool ok = file_pwrite(&f, data.data(), data.size(), offset) == long(data.size());
    file_close(&f);
    return ok;
}

bool set_size(const std::string &path, uint64_t size) {
    os_file f;
    if (!file_open_write(path.c_str(), &f)) return false;
    bool ok = file_set_size(&f, size);
    file_close(&f);
    return ok;
}
