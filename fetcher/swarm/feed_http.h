// The feed over HTTP: the broadcaster's small server (GET /CID, one connection at a
// time, closed after the answer) and the viewer's GET. Addresses are IPv4 literals.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Builds the feed text of cid into out; its length, 0 when the CID is not broadcast.
typedef size_t (*feed_source)(int32_t cid, char *out, size_t cap);

// Serves on "A.B.C.D:PORT" until stop is set; false when it cannot listen.
bool feed_serve_open(const char *addr_port, intptr_t *listener);
void feed_serve_loop(intptr_t listener, feed_source source, const std::atomic<bool> *stop);

// GET of url ("http://A.B.C.D:PORT/PATH"); the body's length, or -1 (why set).
long feed_get(const char *url, char *out, size_t cap, int timeout_ms, char *why, size_t why_cap);
// "A.B.C.D:PORT" into its parts (network order address); false when it is not one.
bool parse_addr_port(const char *text, size_t len, uint32_t *addr, uint16_t *port);
