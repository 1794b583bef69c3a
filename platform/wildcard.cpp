// Windows wildcards over whole names, the same rules on both platforms.
#include "platform/fs.h"

#include <cstring>

// '*' matches any run (also empty), any_one exactly one character.
bool wildcard_match_with(const char *name, const char *pattern, char any_one) {
    const char *star = nullptr, *resume = nullptr;
    while (*name) {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern == any_one || *pattern == *name) {
            pattern++;
            name++;
        } else if (star) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        pattern++;
    return *pattern == 0;
}

// '?' is any one character; "*.*" (the Windows "every file") matches every name, with
// or without a dot.
bool wildcard_match(const char *name, const char *pattern) {
    if (strcmp(pattern, "*.*") == 0) return true;
    return wildcard_match_with(name, pattern, '?');
}
