// The feed's ed25519 signatures, through the engine's own ed25519 (libtorrent's, as it
// has for mutable DHT items): the same code on Linux and Windows, where no OpenSSL is
// at hand for the cross build. Keys are the 32-octet seeds of RFC 8032.
#include "fetcher/swarm/feed.h"

#include <libtorrent/kademlia/ed25519.hpp>

#include <array>
#include <cstring>
#include <tuple>

namespace {

void key_pair(const uint8_t seed[FEED_SEED], lt::dht::public_key *pk, lt::dht::secret_key *sk) {
    std::array<char, FEED_SEED> s;
    memcpy(s.data(), seed, FEED_SEED);
    std::tie(*pk, *sk) = lt::dht::ed25519_create_keypair(s);
}

} // namespace

bool feed_sign(const uint8_t seed[FEED_SEED], const char *msg, size_t len, uint8_t sig[FEED_SIG]) {
    lt::dht::public_key pk;
    lt::dht::secret_key sk;
    key_pair(seed, &pk, &sk);
    lt::dht::signature s = lt::dht::ed25519_sign({msg, std::ptrdiff_t(len)}, pk, sk);
    memcpy(sig, s.bytes.data(), FEED_SIG);
    return true;
}

bool feed_verify(const uint8_t pub[FEED_PUBLIC], const char *msg, size_t len,
                 const uint8_t sig[FEED_SIG]) {
    lt::dht::public_key pk(reinterpret_cast<const char *>(pub));
    lt::dht::signature s(reinterpret_cast<const char *>(sig));
    return lt::dht::ed25519_verify(s, {msg, std::ptrdiff_t(len)}, pk);
}

bool feed_public_key(const uint8_t seed[FEED_SEED], uint8_t pub[FEED_PUBLIC]) {
    lt::dht::public_key pk;
    lt::dht::secret_key sk;
    key_pair(seed, &pk, &sk);
    memcpy(pub, pk.bytes.data(), FEED_PUBLIC);
    return true;
}
