// Access lists of an installation: a Windows matter. The Debian package's files and
// each user's own systemd manager decide who may do what here.
#include "platform/access.h"

#include <cerrno>

static bool not_here() {
    errno = ENOTSUP;
    return false;
}

bool service_set_access(const char *, const char *) {
    return not_here();
}
bool reg_set_access(const char *, const char *) {
    return not_here();
}
bool service_access_text(const char *, char *, size_t) {
    return not_here();
}
bool reg_access_text(const char *, char *, size_t) {
    return not_here();
}
