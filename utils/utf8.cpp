// utf8_character: the decoder's one rule set (no overlong forms, no surrogates,
// nothing above U+10FFFF).
#include "utils/utf8.h"

size_t utf8_character(const unsigned char *s, size_t n, size_t *consumed) {
    unsigned char c = s[0], lo = 0x80, hi = 0xBF; // range of the second octet
    size_t need;
    if (c < 0x80) {
        *consumed = 1;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        *consumed = 1;
        return 0;
    }
    size_t i = 1;
    for (; i < need && i < n && s[i] >= lo && s[i] <= hi; i++) {
        lo = 0x80;
        hi = 0xBF;
    }
    *consumed = i;
    return i == need ? need : 0;
}
