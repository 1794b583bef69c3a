// Linux settings store: one REGEDIT4 text file per key under $VARNEX_REGISTRY_DIR
// ("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex" is HKEY_LOCAL_MACHINE/SOFTWARE/Varnex.reg).
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Varnex]
//   "CachePath"="/var/cache"
//   "UserName"=dword:0000002a
//
// Strings escape backslash and double quote with a backslash. Readers parse the
// file as it is; lines that do not parse are skipped. Writers take an exclusive
// lock on "<file>.lock", write the whole new text to "<file>.tmp", flush it to disk
// and rename it over the file, so the file is always the old or the new text.
// Value names compare case-insensitively, as Windows compares them.
#include "platform/registry.h"
#include "platform/os.h"
#include "platform/posix/posix_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// ---- the text form

struct reg_line {
    std::string name;
    reg_type type;
    uint32_t dword;
    std::string text;
};

// Parses '"' ... '"' with backslash escapes starting at s[*pos] == '"'.
static bool parse_quoted(const std::string &s, size_t *pos, std::string *out) {
    if (*pos >= s.size() || s[*pos] != '"') return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); i++) {
        char c = s[i];
        if (c == '\\') {
            if (i + 1 >= s.size()) return false;
            out->push_back(s[++i]);
        } else if (c == '"') {
            *pos = i + 1;
            return true;
        } else {
            out->push_back(c);
        }
    }
    return false;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One value line; false for anything else (header lines, comments, damage).
static bool parse_line(const std::string &line, reg_line *out) {
    size_t pos = 0;
    if (!parse_quoted(line, &pos, &out->name) || out->name.empty()) return false;
    if (pos >= line.size() || line[pos] != '=') return false;
    pos++;
    if (pos < line.size() && line[pos] == '"') {
        if (!parse_quoted(line, &pos, &out->text) || pos != line.size()) return false;
        out->type = REG_T_SZ;
        return true;
    }
    if (line.compare(pos, 6, "dword:") != 0) return false;
    pos += 6;
    size_t digits = line.size() - pos;
    if (digits == 0 || digits > 8) return false;
    uint32_t v = 0;
    for (; pos < line.size(); pos++) {
        int h = hex_value(line[pos]);
        if (h < 0) return false;
        v = (v << 4) | uint32_t(h);
    }
    out->type = REG_T_DWORD;
    out->dword = v;
    return true;
}

static void append_quoted(std::string *out, const std::string &s) {
    out->push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"') out->push_back('\\');
        out->push_back(c);
    }
    out->push_back('"');
}

static void append_value(std::string *out, const reg_line &v) {
    append_quoted(out, v.name);
    out->push_back('=');
    if (v.type == REG_T_DWORD) {
        char hex[16];
        snprintf(hex, sizeof hex, "dword:%08x", v.dword);
        out->append(hex);
    } else {
        append_quoted(out, v.text);
    }
    out->push_back('\n');
}

static bool read_whole(const char *path, std::string *out) {
    out->clear();
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[8192];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int e = errno;
            close(fd);
            errno = e;
            return false;
        }
        if (n == 0) break;
        out->append(buf, size_t(n));
    }
    close(fd);
    return true;
}

// Calls fn for every value line of text, in order; stops when fn returns false.
template <class F> static void for_each_value(const std::string &text, F fn) {
    size_t start = 0;
    reg_line v;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (parse_line(line, &v) && !fn(v)) return;
    }
}

// ---- keys

// "A\\B\\C" -> "<registry>/A/B/C.reg"; components may not be empty, "." or "..".
static bool key_file(const char *key_path, char *out, size_t cap) {
    const char *root = os_registry_dir();
    if (!root) return false;
    std::string file = root;
    const char *p = key_path;
    bool any = false;
    while (*p) {
        const char *end = strchr(p, '\\');
        size_t len = end ? size_t(end - p) : strlen(p);
        std::string part(p, len);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string::npos) {
            errno = EINVAL;
            return false;
        }
        file += "/" + part;
        any = true;
        p += len;
        if (*p) p++;
    }
    if (!any) {
        errno = EINVAL;
        return false;
    }
    file += ".reg";
    if (file.size() >= cap) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(out, file.c_str(), file.size() + 1);
    return true;
}

static bool write_atomically(const char *path, const std::string &text) {
    std::string temp = std::string(path) + ".tmp";
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = n < 0 ? errno : EIO;
            close(fd);
            unlink(temp.c_str());
            errno = e;
            return false;
        }
        done += size_t(n);
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        int e = errno;
        unlink(temp.c_str());
        errno = e;
        return false;
    }
    if (rename(temp.c_str(), path) != 0) {
        int e = errno;
        unlink(temp.c_str());
        errno = e;
        return false;
    }
    // Make the rename itself durable.
    std::string dir(path);
    dir.resize(dir.rfind('/'));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

// Rewrites the key's file with the n values vs set (or, with remove, the one value
// vs[0] taken out), under the lock, in one replace of the file.
static bool update_key(reg_key *k, const reg_line *vs, int n, bool remove) {
    if (!k->writable) {
        errno = EACCES;
        return false;
    }
    std::string lock_path = std::string(k->path) + ".lock";
    int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return false;
    int r;
    do {
        r = flock(lock, LOCK_EX);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int e = errno;
        close(lock);
        errno = e;
        return false;
    }
    std::string old_text, text = "REGEDIT4\n\n[";
    text += k->key;
    text += "]\n";
    bool existed = read_whole(k->path, &old_text);
    if (!existed && errno != ENOENT) {
        // Only a missing file starts a new key: an unreadable one keeps its values.
        int e = errno;
        close(lock);
        errno = e;
        return false;
    }
    bool found[REG_SET_MAX] = {};
    for_each_value(old_text, [&](const reg_line &line) {
        int i = 0;
        while (i < n && strcasecmp(line.name.c_str(), vs[i].name.c_str()) != 0)
            i++;
        if (i == n) {
            append_value(&text, line);
        } else {
            if (!found[i] && !remove) {
                // The value keeps the spelling of its name.
                reg_line kept = vs[i];
                kept.name = line.name;
                append_value(&text, kept);
            }
            found[i] = true;
        }
        return true;
    });
    bool ok;
    if (remove && !found[0]) {
        errno = ENOENT;
        ok = false;
    } else {
        for (int i = 0; i < n && !remove; i++)
            if (!found[i]) append_value(&text, vs[i]);
        ok = (existed && text == old_text) || write_atomically(k->path, text);
    }
    int e = errno;
    close(lock); // drops the lock
    errno = e;
    return ok;
}

bool reg_open(const char *key_path, bool writable, reg_key *out) {
    out->path[0] = 0;
    out->key[0] = 0;
    out->writable = writable;
    if (strlen(key_path) >= sizeof out->key) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (!key_file(key_path, out->path, sizeof out->path)) return false;
    memcpy(out->key, key_path, strlen(key_path) + 1);
    struct stat st;
    if (stat(out->path, &st) == 0) return true;
    if (errno != ENOENT || !writable) return false;
    std::string dir(out->path);
    dir.resize(dir.rfind('/'));
    if (!posix_make_dirs(dir.c_str())) return false;
    // A new key: an empty file, written the same way as every change.
    std::string lock_path = std::string(out->path) + ".lock";
    int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return false;
    while (flock(lock, LOCK_EX) != 0 && errno == EINTR) {
    }
    bool ok = stat(out->path, &st) == 0 ||
              write_atomically(out->path, std::string("REGEDIT4\n\n[") + key_path + "]\n");
    int e = errno;
    close(lock);
    errno = e;
    return ok;
}

bool reg_query(reg_key *k, const char *name, reg_type *type, void *buf, uint32_t *size) {
    std::string text;
    if (!read_whole(k->path, &text)) return false;
    reg_line found;
    bool have = false;
    for_each_value(text, [&](const reg_line &line) {
        if (strcasecmp(line.name.c_str(), name) != 0) return true;
        found = line;
        have = true;
        return false;
    });
    if (!have) {
        errno = ENOENT;
        return false;
    }
    if (type) *type = found.type;
    uint32_t need = found.type == REG_T_DWORD ? 4 : uint32_t(found.text.size() + 1);
    uint32_t cap = size ? *size : 0;
    if (size) *size = need;
    if (!buf) return true; // only the size was asked for
    if (cap < need) {
        errno = EMSGSIZE;
        return false;
    }
    if (found.type == REG_T_DWORD)
        memcpy(buf, &found.dword, 4);
    else
        memcpy(buf, found.text.c_str(), need);
    return true;
}

bool reg_set_dword(reg_key *k, const char *name, uint32_t value) {
    if (!*name || strpbrk(name, "\r\n")) {
        errno = EINVAL;
        return false;
    }
    reg_line v{name, REG_T_DWORD, value, ""};
    return update_key(k, &v, 1, false);
}

bool reg_set_string(reg_key *k, const char *name, const char *value) {
    // A line break cannot be written in this text form.
    if (strpbrk(value, "\r\n") || !*name || strpbrk(name, "\r\n")) {
        errno = EINVAL;
        return false;
    }
    reg_line v{name, REG_T_SZ, 0, value};
    return update_key(k, &v, 1, false);
}

bool reg_delete_value(reg_key *k, const char *name) {
    reg_line v{name, REG_T_NONE, 0, ""};
    return update_key(k, &v, 1, true);
}

bool reg_set_values(reg_key *k, const reg_value *values, int count) {
    if (count < 1 || count > REG_SET_MAX) {
        errno = EINVAL;
        return false;
    }
    reg_line lines[REG_SET_MAX];
    for (int i = 0; i < count; i++) {
        const reg_value &v = values[i];
        bool text = v.type == REG_T_SZ;
        if (!*v.name || strpbrk(v.name, "\r\n") || (text && strpbrk(v.text, "\r\n")) ||
            (!text && v.type != REG_T_DWORD)) {
            errno = EINVAL;
            return false;
        }
        lines[i] = reg_line{v.name, v.type, text ? 0 : v.dword, text ? v.text : ""};
    }
    return update_key(k, lines, count, false);
}

void reg_close(reg_key *k) {
    k->path[0] = 0;
    k->writable = false;
}
