// Command-line text split into arguments by the rules of the Windows C run-time,
// so that one command line serves both platforms (Linux execs the pieces; Windows
// passes the text as it is and the child's run-time splits it the same way).
#include "platform/process.h"
#include "platform/os.h"

#include <cerrno>

// Native error numbers of the two failures.
#ifdef _WIN32
enum { SPLIT_E_INVALID = 87, SPLIT_E_TOO_BIG = 122 }; // invalid parameter, buffer too small
#else
enum { SPLIT_E_INVALID = EINVAL, SPLIT_E_TOO_BIG = E2BIG };
#endif

static bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

int cmdline_split(const char *line, char *storage, size_t cap, char **argv, int max_args) {
    if (max_args < 1 || cap == 0) {
        os_set_error(SPLIT_E_INVALID);
        return -1;
    }
    const char *p = line ? line : "";
    size_t used = 0;
    int count = 0;
    auto put = [&](char c) -> bool {
        if (used >= cap) return false;
        storage[used++] = c;
        return true;
    };
    argv[0] = nullptr;
    while (is_blank(*p))
        p++;
    if (*p && count < max_args - 1) {
        // The program name: quotes group and are dropped; backslashes are plain.
        argv[count++] = storage + used;
        bool quoted = false;
        for (; *p && (quoted || !is_blank(*p)); p++) {
            if (*p == '"') {
                quoted = !quoted;
                continue;
            }
            if (!put(*p)) goto overflow;
        }
        if (!put(0)) goto overflow;
    }
    for (;;) {
        while (is_blank(*p))
            p++;
        if (!*p || count >= max_args - 1) break;
        argv[count++] = storage + used;
        bool quoted = false;
        for (;;) {
            if (!*p || (!quoted && is_blank(*p))) break;
            if (*p == '\\') {
                size_t slashes = 0;
                while (*p == '\\') {
                    slashes++;
                    p++;
                }
                if (*p == '"') {
                    // 2n backslashes + quote: n backslashes, the quote groups;
                    // 2n+1: n backslashes and a literal quote.
                    for (size_t i = 0; i < slashes / 2; i++)
                        if (!put('\\')) goto overflow;
                    if (slashes % 2) {
                        if (!put('"')) goto overflow;
                        p++;
                    }
                } else {
                    for (size_t i = 0; i < slashes; i++)
                        if (!put('\\')) goto overflow;
                }
                continue;
            }
            if (*p == '"') {
                if (quoted && p[1] == '"') {
                    // A doubled quote inside a quoted part is one literal quote.
                    if (!put('"')) goto overflow;
                    p += 2;
                } else {
                    quoted = !quoted;
                    p++;
                }
                continue;
            }
            if (!put(*p++)) goto overflow;
        }
        if (!put(0)) goto overflow;
    }
    argv[count] = nullptr;
    return count;
overflow:
    argv[0] = nullptr;
    os_set_error(SPLIT_E_TOO_BIG);
    return -1;
}
