// The swarm: live chunks moved between fetchers over BitTorrent. The broadcaster (a
// fetcher with a real source for a CID) makes a torrent of every complete chunk file,
// seeds it and publishes the channel's newest chunks in a feed signed with its
// ed25519 key, served over HTTP; a viewer fetcher reads that feed on the CID's start
// message, fetches every chunk from the swarm and writes it into the cache only once
// each of its pieces has been verified, and seeds what it holds until -keep deletes
// it. This is the fetcher's one door to the engine: only fetcher/swarm/ includes
// libtorrent (on Windows the static mingw build); a build without it has the "none"
// face (swarm_none.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

enum { SWARM_KEY_HEX = 64 }; // an ed25519 public key, hex

// Starts the engine when a swarm is configured (-swarm_listen); false on a fault of
// a configured swarm (logged). Without one it does nothing and returns true.
bool swarm_start();
void swarm_stop();
bool swarm_configured();

// Broadcaster: chunk number of cid, at path, is complete (size octets, duration_ms).
void swarm_chunk_complete(int32_t cid, uint64_t number, uint64_t size, int32_t duration_ms);

// Viewer: fetch cid from the feed at feed_url ("http://A.B.C.D:PORT/PATH") signed by
// key_hex; stop ends the fetching (what is held is still seeded).
bool swarm_view_start(int32_t cid, const char *feed_url, const char *key_hex);
void swarm_view_stop(int32_t cid);
