// varnex-update's parsing of what a version source answers: the HTTP answer, the
// version line in it and the comparison with the installed version.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "companions/update/update.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char version[64];
    if (version_from_http_answer(reinterpret_cast<const char *>(data), size, version,
                                 sizeof version)) {
        if (std::strlen(version) >= sizeof version) __builtin_trap();
        version_compare(version, "1.10.0");
        version_compare("2", version);
    }
    return 0;
}
