// The rules of the two settings dialogs, free of any user interface: what the
// fields show on opening and what OK does with what was typed.
#include <climits>
#include <cstdio>
#include <cstring>

#include "panel/panel.h"
#include "platform/registry.h"
#include "utils/log.h"

static const char *const limit_names[3] = {"uprate", "downrate", "maxpeers"};

int32_t text_to_int(const char *text) {
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') p++;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (*p - '0');
        if (v > int64_t(INT_MAX) + 1) v = int64_t(INT_MAX) + 1;
    }
    if (negative) return v > int64_t(INT_MAX) ? INT_MIN : int32_t(-v);
    return v > INT_MAX ? INT_MAX : int32_t(v);
}

// The first 127 characters of a field, as the dialog reads it.
static void field_text(const char *in, char out[DIALOG_TEXT_MAX + 1]) {
    size_t n = strnlen(in, DIALOG_TEXT_MAX);
    std::memcpy(out, in, n);
    out[n] = 0;
}

// Appends text as one command-line argument by the C run-time's rules: as it is when
// it holds no blank, tab or double quote (the usual case), else inside quotes with
// quotes and the backslashes before them escaped, so the program gets it whole.
static void append_argument(char *out, size_t cap, size_t *n, const char *text) {
    auto put = [&](char c) {
        if (*n + 1 < cap) out[(*n)++] = c;
    };
    if (!std::strpbrk(text, " \t\"")) {
        for (const char *p = text; *p; p++)
            put(*p);
        out[*n] = 0;
        return;
    }
    put('"');
    for (const char *p = text;; p++) {
        size_t slashes = 0;
        while (*p == '\\') {
            slashes++;
            p++;
        }
        if (*p == 0) {
            for (size_t i = 0; i < 2 * slashes; i++)
                put('\\');
            break;
        }
        if (*p == '"') {
            for (size_t i = 0; i < 2 * slashes + 1; i++)
                put('\\');
        } else {
            for (size_t i = 0; i < slashes; i++)
                put('\\');
        }
        put(*p);
    }
    put('"');
    out[*n] = 0;
}

void auth_command_line(const char *login, const char *password, char *out, unsigned cap,
                       bool mask_password) {
    int w = snprintf(out, cap, "\"%s\" -auth -login=", g_panel.update_program_path);
    size_t n = w < 0 ? 0 : size_t(w) >= cap ? cap - 1 : size_t(w);
    append_argument(out, cap, &n, login);
    const char *pass = " -pass=";
    for (const char *p = pass; *p && n + 1 < cap; p++)
        out[n++] = *p;
    out[n] = 0;
    append_argument(out, cap, &n, mask_password ? "********" : password);
}

void account_dialog_open(char uid_text[16], char password_text[PASSWORD_SHOWN + 1]) {
    panel_state &g = g_panel;
    uid_text[0] = 0;
    password_text[0] = 0;
    reg_key key;
    if (!reg_open(PANEL_SETTINGS_KEY, false, &key)) {
        log_printf(UTILS_TAG, SEV_E, "RegOpenKeyEx() -> %d", os_error());
        return;
    }
    reg_type type = REG_T_NONE;
    uint32_t uid = 0, size = sizeof uid;
    if (reg_query(&key, "UserName", &type, &uid, &size) && type == REG_T_DWORD && size == 4)
        g.stored_uid = uid;
    else
        log_printf(UTILS_TAG, SEV_E,
                   "Error querying registry value UserName of type REG_DWORD -> %d", os_error());
    snprintf(uid_text, 16, "%u", g.stored_uid);

    char password[sizeof g.stored_password] = {};
    size = sizeof password;
    if (reg_query(&key, "Password", &type, password, &size) && type == REG_T_SZ) {
        std::memcpy(g.stored_password, password, sizeof password);
    } else {
        log_printf(
            UTILS_TAG, SEV_E,
            "Error querying registry key of type REG_SZ: HKLM\\SOFTWARE\\Varnex\\%s, errno = %d",
            "Password", os_error());
    }
    reg_close(&key);
    g.stored_password[PASSWORD_SHOWN] = 0;
    std::memcpy(password_text, g.stored_password, PASSWORD_SHOWN + 1);
}

int account_dialog_ok(const char *login_field, const char *password_field) {
    panel_state &g = g_panel;
    g.settings_changed = false;
    char login[DIALOG_TEXT_MAX + 1], password[DIALOG_TEXT_MAX + 1];
    field_text(login_field, login);
    if (!login[0]) return DIALOG_STAY_OPEN;
    int32_t uid = text_to_int(login);
    if (uid == 999) return DIALOG_STAY_OPEN;
    field_text(password_field, password);
    if (!password[0]) return DIALOG_STAY_OPEN;

    if (uint32_t(uid) == g.stored_uid &&
        std::strncmp(password, g.stored_password, PASSWORD_SHOWN) == 0) {
        g.settings_changed = true; // unchanged: no new login, the service still restarts
        return DIALOG_OK;
    }
    char line[OS_PATH_MAX + 64 + 4 * 2 * (DIALOG_TEXT_MAX + 2)];
    auth_command_line(login, password, line, sizeof line);
    // The typed password never reaches a log line.
    char shown[sizeof line];
    auth_command_line(login, password, shown, sizeof shown, true);
    int code = 0;
    bool ran = run_program(g.update_program_path, line, true, &code, shown);
    std::memset(line, 0, sizeof line);
    if (ran && (code & 1)) {
        g.settings_changed = true;
        return DIALOG_OK;
    }
    return DIALOG_STAY_OPEN;
}

void limits_dialog_open(char texts[3][16]) {
    panel_state &g = g_panel;
    for (int i = 0; i < 3; i++)
        texts[i][0] = 0;
    reg_key key;
    if (!reg_open(PANEL_SETTINGS_KEY, false, &key)) {
        log_printf(UTILS_TAG, SEV_E, "RegOpenKeyEx() -> %d", os_error());
        return;
    }
    for (int i = 0; i < 3; i++) {
        reg_type type = REG_T_NONE;
        uint32_t value = 0, size = sizeof value;
        bool got = reg_query(&key, limit_names[i], &type, &value, &size) && type == REG_T_DWORD &&
                   size == 4;
        if (!got) {
            log_printf(UTILS_TAG, SEV_E, "Error querying registry value %s of type REG_DWORD -> %d",
                       limit_names[i], os_error());
            continue;
        }
        g.stored_limits[i] = int32_t(value);
        if (value != 0) snprintf(texts[i], 16, "%d", int32_t(value));
    }
    reg_close(&key);
}

int limits_dialog_ok(const char *const texts[3]) {
    panel_state &g = g_panel;
    g.settings_changed = false;
    int32_t values[3];
    for (int i = 0; i < 3; i++) {
        char text[DIALOG_TEXT_MAX + 1];
        field_text(texts[i], text);
        values[i] = text[0] ? text_to_int(text) : 0;
    }
    if (values[0] == g.stored_limits[0] && values[1] == g.stored_limits[1] &&
        values[2] == g.stored_limits[2])
        return DIALOG_OK;

    reg_key key;
    if (!reg_open(PANEL_SETTINGS_KEY, true, &key)) {
        log_printf(UTILS_TAG, SEV_E, "Registry key 'HKLM\\SOFTWARE\\Varnex' -> %d", os_error());
    } else {
        for (int i = 0; i < 3; i++)
            if (!reg_set_dword(&key, limit_names[i], uint32_t(values[i])))
                log_printf(UTILS_TAG, SEV_E, "Registry value '%s' -> %d", limit_names[i],
                           os_error());
        reg_close(&key);
    }
    g.settings_changed = true;
    return DIALOG_OK;
}

int dialog_cancel() {
    g_panel.settings_changed = false;
    return DIALOG_CANCEL;
}
