// Helpers shared by the relay's tests: log line checks, synthetic transport-stream
// data, files written at an offset, and null-frame filtering.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// True when output holds the whole line "%RELAY-<sev>: <message>" (after its prefix).
bool has_relay_line(const std::string &output, char sev, const std::string &message);
// Number of lines that carry exactly that message.
int count_relay_lines(const std::string &output, char sev, const std::string &message);

// n 188-octet packets on PID 0x100 with a running counter and a payload made from
// seed; no run of zero octets anywhere.
std::string make_packets(size_t n, uint32_t seed);
// The 188-octet null frame with the given counter octet.
std::string null_frame(uint8_t octet3);
// Removes the relay's null frames (PID 0x1FFF packets) from a 188-aligned stream.
std::string strip_null_frames(const std::string &ts, std::vector<uint8_t> *counters = nullptr);

// Writes data at offset, creating the file when missing; true on success.
bool write_at(const std::string &path, const std::string &data, uint64_t offset);
// Sets the file's size (zero-filled when it grows).
bool set_size(const std::string &path, uint64_t size);

