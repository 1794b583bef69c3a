// varnex-update's two runs: the update check and the -auth account store.
#include "companions/update/update.h"

#include <cstdio>
#include <cstring>

#include "qi/qi_client.h"
#include "platform/crypto.h"
#include "platform/os.h"
#include "platform/registry.h"
#include "utils/log.h"
#include "utils/options.h"

static const char usage_text[] =
    "varnex-update: the update check and the account store of the Varnex client.\n"
    "\n"
    "  varnex-update [-source=FILE|http://HOST:PORT/PATH]\n"
    "      Reads the newest version from the source (its first line, e.g. 1.2.0) and\n"
    "      compares it with the installed Version in HKLM\\SOFTWARE\\Varnex (without one,\n"
    "      with this program's own version, " VARNEX_VERSION ").\n"
    "      Exit 0: no update needed; 1: a newer version is available; 2: the check failed.\n"
    "  varnex-update -auth -login=UID -pass=PASSWORD [-host=QI-SERVERS]\n"
    "      Logs in to the first reachable QI server with the account, exactly as the\n"
    "      supervisor does, and on success stores UserName (REG_DWORD, the UID) and\n"
    "      Password (REG_SZ) in HKLM\\SOFTWARE\\Varnex. The stored Password is not the typed\n"
    "      one: it is the 40 lower-case hexadecimal digits of the SHA-1 digest of the\n"
    "      typed password (printf %%s PASSWORD | sha1sum gives the same text; the QI\n"
    "      server's accounts hold it too). The login must be the numeric UID: QI\n"
    "      identifies accounts by UID only, so an e-mail address (or any login that is\n"
    "      not a decimal number below 2^32) is refused without contacting a server.\n"
    "      Exit code: odd (1) when the account was accepted and stored, even when it\n"
    "      was refused (2) or could not be stored (4).\n"
    "      -host: the QI server list, as the supervisor's -host: HOST[:PORT] entries\n"
    "      separated by commas, port 3564 when none; default 127.0.0.1,127.0.0.2,127.0.0.3.\n"
    "\n"
    "Options are read from varnex-update.options next to the program first (one a\n"
    "line), then from the command line.\n";

bool stored_password_text(const char *typed, char out[41]) {
    uint8_t digest[20];
    if (!sha1_two_parts(typed, std::strlen(typed), nullptr, 0, digest)) return false;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 20; i++) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[40] = 0;
    return true;
}

bool login_to_uid(const char *login, uint32_t *uid) {
    uint64_t v = 0;
    if (!login[0]) return false;
    for (const char *p = login; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + uint64_t(*p - '0');
        if (v > 0xFFFFFFFFu) return false;
    }
    *uid = uint32_t(v);
    return true;
}

static int run_auth(const option_text &login, const option_text &pass, const option_text &host) {
    uint32_t uid = 0;
    if (!login_to_uid(login.text, &uid)) {
        log_printf(UPDATE, SEV_E,
                   "The login '%s' is not a UID: QI identifies accounts by their numeric UID only, "
                   "e-mail logins cannot be checked",
                   login.text);
        return SEV_E;
    }
    if (pass.len == 0) {
        log_printf(UPDATE, SEV_E, "No password given (-pass=...)");
        return SEV_E;
    }
    char stored[41];
    if (!stored_password_text(pass.text, stored))
        return log_printf(UPDATE, SEV_F, "SHA-1 failed, errno = %d", os_error());

    counted_text list{};
    list.len = host.len;
    std::memcpy(list.text, host.text, list.len);
    qi_account account{uid, stored};
    static qi_buffers buffers;
    const counted_text no_peer_id{}; // this program has none: the server gets an empty tag 11
    net_sock s = NET_BAD_SOCK;
    int32_t st = qi_login(&s, &list, &no_peer_id, &account, &buffers);
    if (s != NET_BAD_SOCK) net_close(s);
    if (!(st & 1)) {
        log_printf(UPDATE, SEV_E, "The QI server refused UID %u (status %d): nothing stored",
                   unsigned(uid), int(st));
        return SEV_E;
    }

    deadline_stop(); // storing is never cut short
    reg_key key;
    if (!reg_open(QI_ACCOUNT_KEY, true, &key))
        return log_printf(UPDATE, SEV_F, "Registry key 'HKLM\\SOFTWARE\\Varnex' -> %d", os_error());
    // Both values or neither: a pair of two accounts would log in as neither.
    const reg_value account_values[] = {{"UserName", REG_T_DWORD, uid, nullptr},
                                        {"Password", REG_T_SZ, 0, stored}};
    bool ok = reg_set_values(&key, account_values, 2);
    int err = os_error();
    reg_close(&key);
    if (!ok) return log_printf(UPDATE, SEV_F, "Storing the account failed, errno = %d", err);
    return log_printf(UPDATE, SEV_S, "UID %u accepted by the QI server and stored", unsigned(uid));
}

static int run_check(const option_text &source) {
    if (source.len == 0) {
        log_printf(UPDATE, SEV_E,
                   "No version source: give -source=FILE or -source=http://HOST:PORT/PATH");
        return UPDATE_CHECK_FAILED;
    }
    char installed[33] = "";
    reg_key key;
    if (reg_open(QI_ACCOUNT_KEY, false, &key)) {
        reg_type type = REG_T_NONE;
        uint32_t size = sizeof installed - 1;
        if (!reg_query(&key, "Version", &type, installed, &size) || type != REG_T_SZ)
            installed[0] = 0;
        reg_close(&key);
    }
    // No installer wrote a Version (the Debian package, a build run in place): this
    // program's own version is the installed one.
    if (!installed[0]) snprintf(installed, sizeof installed, "%s", VARNEX_VERSION);
    char newest[64];
    if (!read_version_source(source.text, newest, sizeof newest)) return UPDATE_CHECK_FAILED;
    if (version_compare(installed, newest) >= 0) {
        log_printf(UPDATE, SEV_I, "Version %s is the newest (source: %s)", installed, newest);
        return UPDATE_NONE_NEEDED;
    }
    log_printf(UPDATE, SEV_I, "Version %s is available (installed: %s)", newest, installed);
    return UPDATE_AVAILABLE;
}

int update_main(int argc, char **argv) {
    for (int i = 1; i < argc; i++)
        if (!std::strcmp(argv[i], "-h") || !std::strcmp(argv[i], "-help") ||
            !std::strcmp(argv[i], "--help")) {
            std::fputs(usage_text, stdout);
            return 0;
        }
    int32_t auth = 0;
    option_text login{}, pass{}, source{}, host{};
    host.len = uint8_t(sizeof QI_DEFAULT_SERVERS - 1); // the supervisor's default list
    std::memcpy(host.text, QI_DEFAULT_SERVERS, host.len);
    option_entry table[] = {
        option_def("auth", &auth, sizeof auth, OPT_FLAG),
        option_def("login", &login, sizeof login, OPT_TEXT),
        option_def("pass", &pass, sizeof pass, OPT_SECRET),
        option_def("host", &host, 255, OPT_TEXT),
        option_def("source", &source, sizeof source, OPT_TEXT),
        option_entry{},
    };
    char dir[400] = "";
    os_program_dir(dir, sizeof dir);
    char options_file[sizeof dir + 32];
    snprintf(options_file, sizeof options_file, "%s" OS_PATH_SEP "varnex-update.options", dir);
    if (FILE *f = std::fopen(options_file, "r")) {
        std::fclose(f);
        read_options_file(options_file, table);
    }
    parse_command_line(argc, argv, table);
    // A slow or silent server must not keep this program (and the tray that waits
    // for it) running: the whole run has a fixed time limit.
    if (!deadline_start(auth ? "The account check" : "The update check")) {
        log_printf(UPDATE, SEV_E, "Starting the deadline's watch failed");
        return UPDATE_CHECK_FAILED;
    }
    int status = auth ? run_auth(login, pass, host) : run_check(source);
    deadline_stop();
    return status;
}
