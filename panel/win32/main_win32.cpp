// KVT-Panel.exe's Windows face: a hidden window that owns the notification-area icon
// (balloons through NIF_INFO), the popup menu built at each right click and tracked
// with TrackPopupMenu, the accelerators, and the two settings dialogs of the resource
// script. The logic lives in panel/; this file only shows it.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>

#include <windows.h>

#include <shellapi.h>

#include "panel/panel.h"
#include "panel/win32/resource.h"
#include "utils/log.h"

namespace {

enum { TITLE_MAX = 100, TIP_MAX = 100 };

// The record the shell knows: the version 3 layout, 520 bytes on 64-bit Windows.
const DWORD icon_record_size = DWORD(offsetof(NOTIFYICONDATAA, hBalloonIcon));
#ifdef _WIN64
static_assert(offsetof(NOTIFYICONDATAA, hBalloonIcon) == 520, "notification icon record size");
#endif
// The record's flags are the shell's own values.
static_assert(PANEL_NIF_MESSAGE == NIF_MESSAGE && PANEL_NIF_ICON == NIF_ICON &&
                  PANEL_NIF_TIP == NIF_TIP && PANEL_NIF_INFO == NIF_INFO &&
                  PANEL_NIIF_INFO_USER == (NIIF_INFO | NIIF_USER),
              "notification icon flags");

struct win32_face_state {
    HINSTANCE instance;
    HWND window;
    char title[TITLE_MAX];
    char class_name[TITLE_MAX];
    NOTIFYICONDATAA icon;
    HMENU popup;          // the last popup menu, released after it was tracked
    UINT taskbar_created; // broadcast by a new taskbar (Explorer restarted)
};
win32_face_state g_face;

void show_balloon_win32(const panel_icon_record *record) {
    NOTIFYICONDATAA &icon = g_face.icon;
    icon.uFlags = record->flags;
    snprintf(icon.szInfo, sizeof icon.szInfo, "%s", record->balloon_text);
    snprintf(icon.szInfoTitle, sizeof icon.szInfoTitle, "%s", record->balloon_title);
    icon.uTimeout = record->balloon_timeout_ms;
    icon.dwInfoFlags = record->balloon_info_flags;
    // The text goes to the log too, so what a user was shown can be told afterwards.
    log_printf(UTILS_TAG, SEV_I, "Balloon: %s", icon.szInfo);
    // The balloon text is UTF-8 (whole characters, at most 255 octets): the shell gets
    // it as UTF-16, which holds it whole (never more units than octets), whatever the
    // ANSI code page. The rest of the record is the one the icon was added with.
    NOTIFYICONDATAW wide{};
    wide.cbSize = NOTIFYICONDATAW_V3_SIZE;
    wide.hWnd = icon.hWnd;
    wide.uID = icon.uID;
    wide.uFlags = icon.uFlags;
    wide.uCallbackMessage = icon.uCallbackMessage;
    wide.hIcon = icon.hIcon;
    MultiByteToWideChar(CP_ACP, 0, icon.szTip, -1, wide.szTip, int(std::size(wide.szTip)));
    MultiByteToWideChar(CP_UTF8, 0, record->balloon_text, -1, wide.szInfo,
                        int(std::size(wide.szInfo)));
    MultiByteToWideChar(CP_UTF8, 0, record->balloon_title, -1, wide.szInfoTitle,
                        int(std::size(wide.szInfoTitle)));
    wide.uTimeout = icon.uTimeout;
    wide.dwInfoFlags = icon.dwInfoFlags;
    if (!Shell_NotifyIconW(NIM_MODIFY, &wide))
        log_printf(UTILS_TAG, SEV_E, "Shell_NotifyIcon(NIM_MODIFY) -> %lu", GetLastError());
}

void post_pipe_data_win32() {
    PostMessageA(g_face.window, WM_PIPEDATA, 0, 0);
}

// Puts a field's text into the dialog; false when the control refused it.
bool set_field(HWND dialog, int id, const char *text) {
    return SetDlgItemTextA(dialog, id, text) != 0;
}

void get_field(HWND dialog, int id, char out[DIALOG_TEXT_MAX + 1]) {
    out[0] = 0;
    GetDlgItemTextA(dialog, id, out, DIALOG_TEXT_MAX + 1);
}

// OK and Cancel of both dialogs; the dialog stays open while its OK rules refuse.
INT_PTR dialog_command(HWND dialog, WPARAM wparam, int (*on_ok)(HWND)) {
    g_panel.settings_changed = false;
    int result = DIALOG_STAY_OPEN;
    if (LOWORD(wparam) == IDCANCEL)
        result = dialog_cancel();
    else if (LOWORD(wparam) == IDOK)
        result = on_ok(dialog);
    if (result != DIALOG_STAY_OPEN) EndDialog(dialog, result);
    return TRUE;
}

INT_PTR CALLBACK account_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        char uid[16], password[PASSWORD_SHOWN + 1];
        account_dialog_open(uid, password);
        bool ok = set_field(dialog, IDC_LOGIN, uid);
        ok = set_field(dialog, IDC_PASSWORD, password) && ok;
        if (!ok) log_printf(UTILS_TAG, SEV_E, "SetDlgItemText() -> %lu", GetLastError());
        return TRUE;
    }
    case WM_COMMAND:
        return dialog_command(dialog, wparam, [](HWND d) {
            char login[DIALOG_TEXT_MAX + 1], password[DIALOG_TEXT_MAX + 1];
            get_field(d, IDC_LOGIN, login);
            get_field(d, IDC_PASSWORD, password);
            return account_dialog_ok(login, password);
        });
    default:
        return FALSE;
    }
}

INT_PTR CALLBACK limits_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    static const int fields[3] = {IDC_UPRATE, IDC_DOWNRATE, IDC_MAXPEERS};
    switch (message) {
    case WM_INITDIALOG: {
        char texts[3][16];
        limits_dialog_open(texts);
        bool ok = true;
        for (int i = 0; i < 3; i++)
            ok = set_field(dialog, fields[i], texts[i]) && ok;
        if (!ok) log_printf(UTILS_TAG, SEV_E, "SetDlgItemText() -> %lu", GetLastError());
        return TRUE;
    }
    case WM_COMMAND:
        return dialog_command(dialog, wparam, [](HWND d) {
            char typed[3][DIALOG_TEXT_MAX + 1];
            for (int i = 0; i < 3; i++)
                get_field(d, fields[i], typed[i]);
            const char *const texts[3] = {typed[0], typed[1], typed[2]};
            return limits_dialog_ok(texts);
        });
    default:
        return FALSE;
    }
}

// A dialog that cannot be made (-1) counts as cancelled.
int run_dialog(int id, DLGPROC proc) {
    INT_PTR result = DialogBoxParamA(g_face.instance, MAKEINTRESOURCEA(id), g_face.window, proc, 0);
    if (result == -1) {
        log_printf(UTILS_TAG, SEV_E, "DialogBoxParam(%d) -> %lu", id, GetLastError());
        return DIALOG_CANCEL;
    }
    return int(result);
}

int account_dialog_win32() {
    return run_dialog(IDD_ACCOUNT, account_proc);
}

int limits_dialog_win32() {
    return run_dialog(IDD_LIMITS, limits_proc);
}

void quit_win32() {
    Shell_NotifyIconA(NIM_DELETE, &g_face.icon);
    DestroyWindow(g_face.window);
}

const panel_face win32_face = {show_balloon_win32, post_pipe_data_win32, account_dialog_win32,
                               limits_dialog_win32, quit_win32};

// The popup menu for the state probed now, tracked at the cursor with its bottom
// edge there; the chosen item arrives as WM_COMMAND. The items shown are logged, so
// a support request can tell what the user saw.
void track_popup_menu() {
    bool running = service_is_running();
    POINT at{};
    GetCursorPos(&at);
    panel_menu_item items[MENU_ITEMS_MAX];
    int n = panel_build_menu(running, g_panel.trace_on, items);
    if (g_face.popup) DestroyMenu(g_face.popup);
    g_face.popup = CreatePopupMenu();
    if (!g_face.popup) return;
    char shown[512] = "";
    size_t used = 0;
    for (int i = 0; i < n; i++) {
        AppendMenuA(g_face.popup, items[i].separator ? MF_SEPARATOR : MF_STRING | MF_ENABLED,
                    items[i].id, items[i].text);
        if (used < sizeof shown)
            used += size_t(snprintf(shown + used, sizeof shown - used, "%s%s", i ? " | " : "",
                                    items[i].separator ? "-" : items[i].text));
    }
    log_printf(UTILS_TAG, SEV_I, "Menu: %s", shown);
    SetForegroundWindow(g_face.window);
    TrackPopupMenu(g_face.popup, TPM_BOTTOMALIGN, at.x, at.y, 0, g_face.window, nullptr);
    // A message after the tracking lets a menu opened from the notification area
    // close when the user clicks elsewhere (the shell's documented quirk).
    PostMessageA(g_face.window, WM_NULL, 0, 0);
    DestroyMenu(g_face.popup);
    g_face.popup = nullptr;
}

void add_icon();

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // A restarted Explorer knows no icons: each program must add its own again.
    if (message == g_face.taskbar_created && message != 0) {
        log_printf(UTILS_TAG, SEV_I, "The taskbar was made again: adding the icon again");
        add_icon();
        return 0;
    }
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_PAINT:
        ValidateRect(window, nullptr); // never shown: nothing to draw
        return 0;
    case WM_TRAYICON:
        if (LOWORD(lparam) != WM_RBUTTONDOWN) return 0;
        track_popup_menu();
        return 1;
    case WM_PIPEDATA:
        panel_on_pipe_data();
        return 0;
    case WM_COMMAND:
        if (panel_command(LOWORD(wparam))) return 0;
        return DefWindowProcA(window, message, wparam, lparam);
    default:
        return DefWindowProcA(window, message, wparam, lparam);
    }
}

bool register_class() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = window_proc;
    wc.hInstance = g_face.instance;
    wc.hIcon = LoadIconA(g_face.instance, MAKEINTRESOURCEA(IDI_PANEL));
    wc.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)); // IDC_ARROW
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDC_PANEL);
    wc.lpszClassName = g_face.class_name;
    wc.hIconSm = LoadIconA(g_face.instance, MAKEINTRESOURCEA(IDI_PANEL_SMALL));
    return RegisterClassExA(&wc) != 0;
}

void add_icon() {
    panel_fill_icon();
    NOTIFYICONDATAA &icon = g_face.icon;
    std::memset(&icon, 0, sizeof icon);
    icon.cbSize = icon_record_size;
    icon.hWnd = g_face.window;
    icon.uID = g_panel.icon.id;
    icon.uFlags = g_panel.icon.flags;
    icon.uCallbackMessage = WM_TRAYICON;
    icon.hIcon = LoadIconA(g_face.instance, MAKEINTRESOURCEA(IDI_PANEL));
    LoadStringA(g_face.instance, IDS_TIP, icon.szTip, TIP_MAX);
    if (!Shell_NotifyIconA(NIM_ADD, &icon))
        log_printf(UTILS_TAG, SEV_E, "Shell_NotifyIcon(NIM_ADD) -> %lu", GetLastError());
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    int status = panel_startup(&win32_face);
    if (status >= 0) return status;
    g_face.instance = instance;
    LoadStringA(instance, IDS_APP_TITLE, g_face.title, TITLE_MAX);
    LoadStringA(instance, IDC_PANEL, g_face.class_name, TITLE_MAX);
    register_class();
    g_face.window =
        CreateWindowExA(0, g_face.class_name, g_face.title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0,
                        CW_USEDEFAULT, 0, nullptr, nullptr, instance, nullptr);
    if (!g_face.window) {
        log_printf(UTILS_TAG, SEV_F, "CreateWindow () -> %lu", GetLastError());
        log_printf(UTILS_TAG, SEV_F, "InitInstance () -> %d", 0);
        return 0;
    }
    g_face.taskbar_created = RegisterWindowMessageA("TaskbarCreated");
    // A tray started elevated (by the installer) would not hear Explorer otherwise.
    if (g_face.taskbar_created)
        ChangeWindowMessageFilterEx(g_face.window, g_face.taskbar_created, MSGFLT_ALLOW, nullptr);
    add_icon();
    HACCEL accelerators = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_PANEL));

    status = panel_start_listener();
    if (status >= 0) return status;

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (TranslateAcceleratorA(msg.hwnd, accelerators, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return int(msg.wParam);
}
