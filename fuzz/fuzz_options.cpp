// Feeds arbitrary octets to the options-file reader and, split at zero octets, to
// both command-line parsers.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "utils/options.h"
#include "fuzz_temp.h"

namespace {

int32_t v_int, v_flag;
uint16_t v_short;
uint32_t v_addr;
option_text v_text, v_secret, v_file;
option_entry table[] = {option_def("port", &v_int, 4, OPT_INT),
                        option_def("port_min", &v_int, 4, OPT_INT),
                        option_def("dir", &v_text, 255, OPT_TEXT),
                        option_def("trace", &v_flag, 4, OPT_FLAG),
                        option_def("short", &v_short, 2, OPT_SHORT),
                        option_def("ip", &v_addr, 4, OPT_IPV4),
                        option_def("secret", &v_secret, 255, OPT_SECRET),
                        option_def("bad", &v_int, 4, 77),
                        option_entry{}};
// The file type is left out of the command-line table so inputs cannot name files.
option_entry file_table[] = {option_def("port", &v_int, 4, OPT_INT),
                             option_def("opts", &v_file, 255, OPT_FILE),
                             option_def("dir", &v_text, 255, OPT_TEXT), option_entry{}};

char path[512];

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!freopen("/dev/null", "w", stdout)) return 0;
    snprintf(path, sizeof path, "%s-%d.opt", fuzz_temp_folder("fuzz-options").c_str(),
             int(getpid()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    read_options_file(path, table);
    read_options_file(path, file_table);

    static char storage[8192];
    static char *argv[256];
    size_t n = size < sizeof storage - 1 ? size : sizeof storage - 1;
    memcpy(storage, data, n);
    storage[n] = '\0';
    int argc = 0;
    argv[argc++] = const_cast<char *>("prog");
    for (size_t i = 0; i < n && argc < 255;) {
        argv[argc++] = storage + i;
        i += strlen(storage + i) + 1;
    }
    argv[argc] = nullptr;
    parse_command_line(argc, argv, table);
    list_options(table);
    parse_and_list_options(argc, argv, table);
    return 0;
}
