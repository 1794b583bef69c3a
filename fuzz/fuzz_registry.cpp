// Feeds arbitrary octets as the key's file to the registry store: every value is
// queried, one is rewritten, and the rewritten file must read back the new value.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/registry.h"
#include "fuzz_temp.h"

namespace {

std::string key_file;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::string templ = fuzz_temp_folder("fuzz-registry-XXXXXX");
    char *root = &templ[0];
    if (!mkdtemp(root)) abort();
    setenv("VARNEX_REGISTRY_DIR", root, 1);
    std::string dir = std::string(root) + "/HKEY_LOCAL_MACHINE";
    mkdir(dir.c_str(), 0700);
    dir += "/SOFTWARE";
    mkdir(dir.c_str(), 0700);
    key_file = dir + "/Varnex.reg";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fopen(key_file.c_str(), "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);

    reg_key key;
    if (!reg_open("HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex", true, &key)) return 0;
    const char *names[] = {"CachePath", "UserName", "Password", "Version", ""};
    for (const char *name : names) {
        uint8_t buf[128];
        uint32_t len = sizeof buf;
        reg_type type = REG_T_NONE;
        if (reg_query(&key, name, &type, buf, &len) && len > sizeof buf) abort();
    }
    if (reg_set_string(&key, "CachePath", "C:\\cache \"x\"")) {
        char buf[64];
        uint32_t len = sizeof buf;
        reg_type type = REG_T_NONE;
        if (!reg_query(&key, "CachePath", &type, buf, &len) || type != REG_T_SZ ||
            strcmp(buf, "C:\\cache \"x\"") != 0)
            abort();
    }
    reg_close(&key);
    return 0;
}
