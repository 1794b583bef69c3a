// SHA-1 and random octets through OpenSSL libcrypto's EVP and RAND interfaces.
#include "platform/crypto.h"

#include <cerrno>
#include <climits>
#include <openssl/evp.h>
#include <openssl/rand.h>

bool crypto_random(void *out, size_t len) {
    unsigned char *p = static_cast<unsigned char *>(out);
    while (len > 0) {
        int part = len > size_t(INT_MAX) ? INT_MAX : int(len);
        if (RAND_bytes(p, part) != 1) {
            errno = EIO;
            return false;
        }
        p += part;
        len -= size_t(part);
    }
    return true;
}

bool sha1_two_parts(const void *a, size_t a_len, const void *b, size_t b_len, uint8_t digest[20]) {
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (!ctx) {
        errno = ENOMEM;
        return false;
    }
    unsigned int out_len = 0;
    bool ok = EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) == 1 &&
              (a_len == 0 || EVP_DigestUpdate(ctx, a, a_len) == 1) &&
              (b_len == 0 || EVP_DigestUpdate(ctx, b, b_len) == 1) &&
              EVP_DigestFinal_ex(ctx, digest, &out_len) == 1 && out_len == 20;
    EVP_MD_CTX_free(ctx);
    if (!ok) errno = EIO;
    return ok;
}
