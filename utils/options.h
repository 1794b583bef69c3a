// Option tables: typed entries pointing at a program's variables, which hold the
// defaults. Filled from the command line or an options file and listed in the log.
#pragma once

#include <cstddef>
#include <cstdint>

enum option_type : int32_t {
    OPT_INT = 0,    // signed 32-bit
    OPT_TEXT = 1,   // counted text: length byte, up to 255 characters, zero byte
    OPT_FLAG = 2,   // signed 32-bit, set to 1 when present
    OPT_SHORT = 3,  // 16-bit
    OPT_IPV4 = 4,   // 32-bit, network byte order
    OPT_FILE = 5,   // options file to read (target optional, as OPT_TEXT)
    OPT_SECRET = 6, // as OPT_TEXT, never listed
    OPT_INT64 = 7,  // signed 64-bit: file positions beyond 4 GiB
};

struct option_entry {
    uint8_t name_len; // 0 closes the table
    char name[255];
    void *target;
    uint64_t capacity;
    int32_t type;
};

// Counted text as used by option targets: one length byte, 255 characters and a
// terminating zero byte.
struct option_text {
    uint8_t len;
    char text[256];
};

// Builds a table entry from a literal name.
template <size_t N>
constexpr option_entry option_def(const char (&name)[N], void *target, uint64_t capacity,
                                  int32_t type) {
    option_entry e{};
    e.name_len = static_cast<uint8_t>(N - 1);
    for (size_t i = 0; i + 1 < N; i++)
        e.name[i] = name[i];
    e.target = target;
    e.capacity = capacity;
    e.type = type;
    return e;
}

int32_t parse_command_line(int argc, char **argv, option_entry *table);
int32_t read_options_file(const char *file_name, option_entry *table);
int32_t list_options(const option_entry *table);

// The movie streamer's parser: no trimming, abbreviations allowed, lists at the end.
int32_t parse_and_list_options(int argc, char **argv, option_entry *table);

// A port option outside 1..65535 would be cut to 16 bits by the socket calls and
// name another port: logs F "Illegal port %d in option -%s, allowed 1 to 65535" with
// the facility tag and returns SEV_F; SEV_S for a valid port.
int32_t check_port_option(const char *tag, const char *name, int32_t value);

// Removes leading and trailing white space in place; returns the new length.
unsigned trim_text(char *text, unsigned len);
