// SHA-1 and random octets from OpenSSL libcrypto.
#pragma once

#include <cstddef>
#include <cstdint>

bool crypto_random(void *out, size_t len);

// Digest over the concatenation of up to two parts (b may be empty).
bool sha1_two_parts(const void *a, size_t a_len, const void *b, size_t b_len, uint8_t digest[20]);
