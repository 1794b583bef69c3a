// Shared by the supervisor's soak and load benchmarks: their private installation
// (built programs copied under the names the supervisor starts them by) and a
// counter of log lines.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>

#include "tests/support/test_support.h"

// Copies each built program (first) into bin as its name (second); false, with a
// line on stderr, when one cannot be copied.
template <size_t N>
bool bench_install(const std::string &bin, const std::pair<const char *, const char *> (&list)[N]) {
    for (auto &p : list) {
        std::error_code ec;
        std::filesystem::copy_file(bin_path(p.first), bin + "/" + p.second, ec);
        if (!ec)
            std::filesystem::permissions(
                bin + "/" + p.second, std::filesystem::status(bin_path(p.first)).permissions(), ec);
        if (ec) {
            fprintf(stderr, "cannot install %s: %s\n", p.first, ec.message().c_str());
            return false;
        }
    }
    return true;
}

// Occurrences of what in text.
inline int count_in(const std::string &text, const std::string &what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}
