// KVT-Panel, the tray control program: its one record of process-wide state and the
// platform-independent operations that every face (GTK here, Win32 later) shares.
// Each .cpp file of this folder owns one concern:
//   startup.cpp   the start-up guard, update_program_path, panel_exit
//   commands.cpp  the menu per state and the command table with its balloon texts
//   balloon.cpp   the balloon record, show_balloon and the text it may show
//   pipe.cpp      the tray-pipe listener thread and the read on the window thread
//   service.cpp   the service probe, start/stop/restart_service, the trace switch
//   cache.cpp     clear_cache
//   programs.cpp  run_program, About, Check for Updates
//   dialogs.cpp   the rules of the account and limits dialogs
// The face supplies what only a user interface can do (panel_face below); nothing
// here calls a UI.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/msgpipe.h"
#include "platform/named_object.h"
#include "platform/os.h"

#define UTILS_TAG "UTILS"
#define PANEL_INSTANCE_MUTEX "Global\\KVT-Panel.exe"
#define PANEL_SERVICE_MUTEX "Global\\Varnex KVT-Keeper"
#define PANEL_TRACE_MUTEX "Global\\Varnex Trace=ON"
#define PANEL_SERVICE_NAME "VarnexService"
#define PANEL_SETTINGS_KEY "HKEY_LOCAL_MACHINE\\SOFTWARE\\Varnex"
#define PANEL_TRAY_PIPE "tray-pipe"

// Texts of the program (string table).
#define PANEL_WINDOW_TITLE "Varnex CP"          // string 103
#define PANEL_TIP_TEXT "Varnex Control Program" // string 104
#define PANEL_CLASS_NAME "KVTPANEL"             // string 109

// Command identifiers: the menu items and the accelerator's About.
enum panel_command_id : uint32_t {
    CMD_ABOUT = 104,
    CMD_EXIT = 105,
    CMD_SET_LIMITS = 1003,
    CMD_TRACE_OFF = 32778,
    CMD_TRACE_ON = 32779,
    CMD_STOP = 32780,
    CMD_START = 32781,
    CMD_SEPARATOR = 32783,
    CMD_CHECK_UPDATES = 32785,
    CMD_CLEAR_CACHE = 32787,
    CMD_SET_ACCOUNT = 32788,
};

enum {
    BALLOON_TEXT_SIZE = 256, // 255 characters and the terminator
    BALLOON_TIMEOUT_MS = 3500,
    PIPE_MESSAGE_MAX = 1024,
    PIPE_LISTENER_PAUSE_MS = 300,
    PIPE_SILENT_CLIENT_MS = 3000, // a client connected this long without a text is dropped
    DIALOG_TEXT_MAX = 127,        // characters taken from a dialog field
    PASSWORD_SHOWN = 8,           // characters of the stored password the account dialog shows
    MENU_ITEMS_MAX = 16,
};

// The notification icon record; every balloon modifies it in place.
enum {
    PANEL_NIF_MESSAGE = 1,
    PANEL_NIF_ICON = 2,
    PANEL_NIF_TIP = 4,
    PANEL_NIF_INFO = 16,
    PANEL_NIIF_INFO_USER = 5
};
struct panel_icon_record {
    uint32_t id; // 107
    uint32_t flags;
    char tip[100];
    char balloon_text[BALLOON_TEXT_SIZE];
    uint32_t balloon_timeout_ms;
    char balloon_title[64]; // always empty
    uint32_t balloon_info_flags;
};

// One item of the popup menu.
struct panel_menu_item {
    uint32_t id;
    const char *text;
    bool separator;
};

// What only the user interface can do. Every call but post_pipe_data comes from the
// window thread; post_pipe_data comes from the pipe listener and must hand over to
// the window thread (which then calls panel_on_pipe_data).
struct panel_face {
    void (*show_balloon)(const panel_icon_record *icon);
    void (*post_pipe_data)();
    int (*account_dialog)(); // runs dialog 129 modally; returns 1 (OK) or 2 (Cancel)
    int (*limits_dialog)();  // runs dialog 130 modally; returns 1 or 2
    void (*quit)();          // removes the icon and ends the window thread's loop with 0
};

struct panel_state {
    named_object instance; // "Global\KVT-Panel.exe", held for the life of the process
    char program_dir[OS_PATH_MAX];
    char update_program_path[OS_PATH_MAX + 32];
    char keeper_program_path[OS_PATH_MAX + 32]; // the service's host where no manager knows it
    panel_icon_record icon;
    named_object trace_mutex;           // held while this program switched tracing on
    bool trace_on;                      // the menu offers "Trace Off" (the mutex may be another's)
    bool settings_changed;              // set by the dialogs when the service must restart
    msg_pipe tray_pipe;                 // written once by the listener before its loop
    std::atomic<bool> pipe_data_posted; // posted, not yet read and disconnected
    const panel_face *face;

    // dialog state, kept between openings
    uint32_t stored_uid;
    char stored_password[128]; // cut after its eighth character
    int32_t stored_limits[3];  // uprate, downrate, maxpeers
};

extern panel_state g_panel;

// startup.cpp
// The start-up guard and the program paths; -1 to go on, else the exit status (3).
int panel_startup(const panel_face *face);
// Fills the icon record (the face adds the icon), then starts the pipe listener;
// the exit status 4 when it cannot be started, else -1.
void panel_fill_icon();
int panel_start_listener();
// "%s\%s" of the directory and the program name; the directory is the path cut at
// its last separator (empty when there is none).
void panel_program_dir_of(const char *module_path, char *dir, unsigned cap);

// commands.cpp
// The popup menu for the probed service state and the trace switch; returns the count.
int panel_build_menu(bool service_running, bool trace_on, panel_menu_item out[MENU_ITEMS_MAX]);
// Runs one command on the window thread; false for an identifier it does not know
// (the face passes those on to its default handling).
bool panel_command(uint32_t id);

// balloon.cpp
// Shows the text (made fit by balloon_text_of) as the balloon.
void show_balloon(const char *text);
// The text that a balloon shows of len octets: up to the first zero, ill-formed
// UTF-8 replaced by U+FFFD, cut to whole characters of at most 255 octets.
void balloon_text_of(const char *data, size_t len, char out[BALLOON_TEXT_SIZE]);

// pipe.cpp
void pipe_listener();      // the listener thread's body; returns when the pipe cannot be made
void panel_on_pipe_data(); // on the window thread after post_pipe_data

// service.cpp
bool service_is_running(); // the probe made at each right click
void start_service();
void stop_service();
void restart_service();
void trace_on();
void trace_off();

// cache.cpp
void clear_cache();

// programs.cpp
// Starts a program (command_line may be null); with wait, waits and stores the exit code.
// The wait ends after the update program's deadline and a margin: a program still
// running then is ended, and the run counts as failed (false).
// shown (null: the command line) is the command line as its log lines show it.
bool run_program(const char *path, const char *command_line, bool wait, int *exit_code,
                 const char *shown = nullptr);
void about();
void check_for_updates();

// dialogs.cpp: the rules, each returning what the dialog does next.
enum { DIALOG_STAY_OPEN = 0, DIALOG_OK = 1, DIALOG_CANCEL = 2 };
// On opening: the field texts.
void account_dialog_open(char uid_text[16], char password_text[PASSWORD_SHOWN + 1]);
int account_dialog_ok(const char *login, const char *password);
void limits_dialog_open(char texts[3][16]);
int limits_dialog_ok(const char *const texts[3]);
int dialog_cancel();
// The -auth command line for the update program; with mask_password its password
// reads "********" (for the log).
void auth_command_line(const char *login, const char *password, char *out, unsigned cap,
                       bool mask_password = false);
// Signed decimal conversion as the C run-time's atoi does it (leading blanks, sign,
// digits), saturating at the 32-bit limits.
int32_t text_to_int(const char *text);
