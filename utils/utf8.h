// utf8_character: one well-formed UTF-8 character, for texts that leave this program
// (desktop notifications, web pages) and must be valid UTF-8 whatever came in.
#pragma once
#include <cstddef>

// The well-formed UTF-8 character at s (n octets readable, n >= 1): its length, or 0
// when the octets there are ill-formed. *consumed is then the length of the
// ill-formed part (its longest prefix that could still have begun a character, at
// least 1), which one replacement character stands for.
size_t utf8_character(const unsigned char *s, size_t n, size_t *consumed);
