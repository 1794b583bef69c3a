// SHA-1 and random octets from the system's CNG (bcrypt), the Windows counterpart
// of the OpenSSL calls of the Linux build.
#include "platform/crypto.h"

#include <windows.h>

#include <bcrypt.h>

static bool failed(NTSTATUS status) {
    // STATUS_NO_MEMORY is 0xC0000017.
    SetLastError(DWORD(status) == 0xC0000017u ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE);
    return false;
}

bool crypto_random(void *out, size_t len) {
    unsigned char *p = static_cast<unsigned char *>(out);
    while (len > 0) {
        ULONG part = len > 0x40000000u ? 0x40000000u : ULONG(len);
        NTSTATUS st = BCryptGenRandom(nullptr, p, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (!BCRYPT_SUCCESS(st)) return failed(st);
        p += part;
        len -= part;
    }
    return true;
}

static bool hash_part(BCRYPT_HASH_HANDLE h, const void *data, size_t len) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (len > 0) {
        ULONG part = len > 0x40000000u ? 0x40000000u : ULONG(len);
        NTSTATUS st = BCryptHashData(h, const_cast<PUCHAR>(p), part, 0);
        if (!BCRYPT_SUCCESS(st)) return failed(st);
        p += part;
        len -= part;
    }
    return true;
}

bool sha1_two_parts(const void *a, size_t a_len, const void *b, size_t b_len, uint8_t digest[20]) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    NTSTATUS st = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(st)) return failed(st);
    BCRYPT_HASH_HANDLE h = nullptr;
    st = BCryptCreateHash(alg, &h, nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(st)) {
        BCryptCloseAlgorithmProvider(alg, 0);
        return failed(st);
    }
    bool ok = hash_part(h, a, a_len) && hash_part(h, b, b_len);
    if (ok) {
        st = BCryptFinishHash(h, digest, 20, 0);
        ok = BCRYPT_SUCCESS(st) || failed(st);
    }
    BCryptDestroyHash(h);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}
