// KVT-Panel's Linux face: GTK 3 with a StatusNotifierItem icon through
// libayatana-appindicator3 (an XEmbed tray icon where no watcher runs), desktop
// notifications through libnotify for the balloons, and the two settings dialogs.
// The logic lives in panel/; this file only shows it.
#include <cstdio>
#include <cstring>

#include <gtk/gtk.h>
#include <libayatana-appindicator/app-indicator.h>
#include <libnotify/notify.h>

#include "panel/panel.h"
#include "utils/log.h"

namespace {

enum { MENU_REFRESH_MS = 1000 };

struct gtk_face_state {
    AppIndicator *indicator;
    GtkWidget *menu;
    GtkWidget *items[MENU_ITEMS_MAX];
    int item_count;
    bool shown_running, shown_trace;
    NotifyNotification *balloon;
    char icon_path[OS_PATH_MAX + 96];
};
gtk_face_state g_face;

// True when the notification server reads markup in a body: a plain text must then
// be escaped, else "&" or "<b>" (a channel name comes from the QI server) is read as
// markup; a server without markup shows the body as it is.
bool server_reads_markup() {
    GList *caps = notify_get_server_caps();
    bool markup = g_list_find_custom(caps, "body-markup",
                                     reinterpret_cast<GCompareFunc>(g_strcmp0)) != nullptr;
    g_list_free_full(caps, g_free);
    return markup;
}

void show_balloon_gtk(const panel_icon_record *icon) {
    if (!notify_is_initted()) return;
    // The text is valid UTF-8 already (show_balloon made it so), as GLib requires.
    gchar *body = server_reads_markup() ? g_markup_escape_text(icon->balloon_text, -1)
                                        : g_strdup(icon->balloon_text);
    // One notification, updated in place: a new balloon replaces the shown one. The
    // title stays empty, which notify_notification_update would refuse.
    if (!g_face.balloon)
        g_face.balloon = notify_notification_new(icon->balloon_title, body, g_face.icon_path);
    else
        g_object_set(G_OBJECT(g_face.balloon), "summary", icon->balloon_title, "body", body,
                     "icon-name", g_face.icon_path, nullptr);
    g_free(body);
    notify_notification_set_timeout(g_face.balloon, int(icon->balloon_timeout_ms));
    GError *error = nullptr;
    if (!notify_notification_show(g_face.balloon, &error)) {
        log_printf(UTILS_TAG, SEV_E, "Showing the notification failed: %s",
                   error ? error->message : "?");
        if (error) g_error_free(error);
    }
}

gboolean on_pipe_idle(gpointer) {
    panel_on_pipe_data();
    return G_SOURCE_REMOVE;
}

void post_pipe_data_gtk() {
    g_idle_add(on_pipe_idle, nullptr); // safe from the listener thread
}

// A modal dialog with the given caption, labels and fields; OK answers 1, Cancel 2.
GtkWidget *make_dialog(const char *caption, int width, int height) {
    GtkWidget *d = gtk_dialog_new_with_buttons(caption, nullptr, GTK_DIALOG_MODAL, "OK", 1,
                                               "Cancel", 2, nullptr);
    gtk_window_set_position(GTK_WINDOW(d), GTK_WIN_POS_CENTER);
    gtk_window_set_resizable(GTK_WINDOW(d), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(d), width, height);
    gtk_window_set_keep_above(GTK_WINDOW(d), TRUE);
    gtk_dialog_set_default_response(GTK_DIALOG(d), 1);
    return d;
}

GtkWidget *add_field(GtkWidget *grid, int row, const char *label, bool right_aligned,
                     const char *text, int width_chars) {
    GtkWidget *l = gtk_label_new(label);
    gtk_label_set_xalign(GTK_LABEL(l), right_aligned ? 1.0f : 0.0f);
    GtkWidget *e = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(e), text);
    gtk_entry_set_width_chars(GTK_ENTRY(e), width_chars);
    gtk_entry_set_activates_default(GTK_ENTRY(e), TRUE);
    gtk_grid_attach(GTK_GRID(grid), l, 0, row, 1, 1);
    gtk_grid_attach(GTK_GRID(grid), e, 1, row, 1, 1);
    return e;
}

GtkWidget *dialog_grid(GtkWidget *d) {
    GtkWidget *grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 8);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 10);
    gtk_container_set_border_width(GTK_CONTAINER(grid), 18);
    gtk_container_add(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(d))), grid);
    return grid;
}

int account_dialog_gtk() {
    char uid[16], password[PASSWORD_SHOWN + 1];
    account_dialog_open(uid, password);
    GtkWidget *d = make_dialog("Set Varnex Account information", 440, 160);
    GtkWidget *grid = dialog_grid(d);
    GtkWidget *login = add_field(grid, 0, "UID or E-Mail:", false, uid, 30);
    GtkWidget *pass = add_field(grid, 1, "Password:", false, password, 30);
    gtk_entry_set_visibility(GTK_ENTRY(pass), FALSE);
    gtk_widget_show_all(d);
    int result = DIALOG_CANCEL;
    for (;;) {
        int response = gtk_dialog_run(GTK_DIALOG(d));
        if (response != 1) {
            result = dialog_cancel();
            break;
        }
        result = account_dialog_ok(gtk_entry_get_text(GTK_ENTRY(login)),
                                   gtk_entry_get_text(GTK_ENTRY(pass)));
        if (result != DIALOG_STAY_OPEN) break;
    }
    gtk_widget_destroy(d);
    return result;
}

int limits_dialog_gtk() {
    char texts[3][16];
    limits_dialog_open(texts);
    GtkWidget *d = make_dialog("Set Limits", 420, 200);
    GtkWidget *grid = dialog_grid(d);
    GtkWidget *up = add_field(grid, 0, "Upload rate (byte per second) :", true, texts[0], 15);
    GtkWidget *down = add_field(grid, 1, "Download rate (byte per second) :", true, texts[1], 15);
    GtkWidget *peers = add_field(grid, 2, "Maximum served peers :", true, texts[2], 7);
    gtk_widget_set_halign(peers, GTK_ALIGN_START);
    gtk_widget_show_all(d);
    int result;
    if (gtk_dialog_run(GTK_DIALOG(d)) == 1) {
        const char *typed[3] = {gtk_entry_get_text(GTK_ENTRY(up)),
                                gtk_entry_get_text(GTK_ENTRY(down)),
                                gtk_entry_get_text(GTK_ENTRY(peers))};
        result = limits_dialog_ok(typed);
    } else {
        result = dialog_cancel();
    }
    gtk_widget_destroy(d);
    return result;
}

void quit_gtk() {
    if (g_face.indicator) app_indicator_set_status(g_face.indicator, APP_INDICATOR_STATUS_PASSIVE);
    if (g_face.balloon) notify_notification_close(g_face.balloon, nullptr);
    gtk_main_quit();
}

const panel_face gtk_face = {show_balloon_gtk, post_pipe_data_gtk, account_dialog_gtk,
                             limits_dialog_gtk, quit_gtk};

// Puts the texts and commands of the menu for this state into the items.
void refresh_menu(bool running) {
    panel_menu_item items[MENU_ITEMS_MAX];
    int n = panel_build_menu(running, g_panel.trace_on, items);
    for (int i = 0; i < n && i < g_face.item_count; i++) {
        if (items[i].separator) continue;
        gtk_menu_item_set_label(GTK_MENU_ITEM(g_face.items[i]), items[i].text);
        g_object_set_data(G_OBJECT(g_face.items[i]), "command", GUINT_TO_POINTER(items[i].id));
    }
    g_face.shown_running = running;
    g_face.shown_trace = g_panel.trace_on;
}

void on_item(GtkMenuItem *item, gpointer) {
    uint32_t id = GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(item), "command"));
    panel_command(id);
    refresh_menu(service_is_running());
}

// At every opening the service is probed, as the menu is built anew at each click;
// the items shown are logged, so a support request can tell what the user saw.
void on_menu_show(GtkWidget *, gpointer) {
    bool running = service_is_running();
    refresh_menu(running);
    panel_menu_item items[MENU_ITEMS_MAX];
    int n = panel_build_menu(running, g_panel.trace_on, items);
    char shown[512] = "";
    size_t used = 0;
    for (int i = 0; i < n && used < sizeof shown; i++)
        used += size_t(snprintf(shown + used, sizeof shown - used, "%s%s", i ? " | " : "",
                                items[i].separator ? "-" : items[i].text));
    log_printf(UTILS_TAG, SEV_I, "Menu: %s", shown);
}

// Between openings the items follow the state without taking the service's mutex.
gboolean on_refresh_timer(gpointer) {
    bool running = named_object_exists(PANEL_SERVICE_MUTEX);
    if (running != g_face.shown_running || g_panel.trace_on != g_face.shown_trace)
        refresh_menu(running);
    return G_SOURCE_CONTINUE;
}

void build_menu() {
    panel_menu_item items[MENU_ITEMS_MAX];
    int n = panel_build_menu(false, false, items);
    g_face.menu = gtk_menu_new();
    for (int i = 0; i < n; i++) {
        GtkWidget *w = items[i].separator ? gtk_separator_menu_item_new()
                                          : gtk_menu_item_new_with_label(items[i].text);
        if (!items[i].separator) g_signal_connect(w, "activate", G_CALLBACK(on_item), nullptr);
        gtk_menu_shell_append(GTK_MENU_SHELL(g_face.menu), w);
        g_face.items[i] = w;
    }
    g_face.item_count = n;
    gtk_widget_show_all(g_face.menu);
    g_signal_connect(g_face.menu, "show", G_CALLBACK(on_menu_show), nullptr);
    refresh_menu(service_is_running());
}

// The folder that holds the icon: next to the program in the build tree, or the
// installed share folder beside its bin folder.
void find_icon_folder(char *out, size_t cap) {
    const char *dir = g_panel.program_dir;
    snprintf(out, cap, "%s/icons", dir);
    if (g_file_test(out, G_FILE_TEST_IS_DIR)) return;
    snprintf(out, cap, "%s/../share/icons/hicolor/scalable/apps", dir);
}

} // namespace

int main(int argc, char **argv) {
    int status = panel_startup(&gtk_face);
    if (status >= 0) return status;
    g_set_prgname(PANEL_CLASS_NAME);
    g_set_application_name(PANEL_WINDOW_TITLE);
    if (!gtk_init_check(&argc, &argv)) {
        log_printf(UTILS_TAG, SEV_F, "CreateWindow () -> %d", 0);
        log_printf(UTILS_TAG, SEV_F, "InitInstance () -> %d", 0);
        return 0;
    }
    if (!notify_init(PANEL_WINDOW_TITLE))
        log_printf(UTILS_TAG, SEV_E, "No notification service: balloons are not shown");

    panel_fill_icon();
    char icons[OS_PATH_MAX + 64];
    find_icon_folder(icons, sizeof icons);
    snprintf(g_face.icon_path, sizeof g_face.icon_path, "%s/kvt-panel.svg", icons);
    g_face.indicator =
        app_indicator_new("kvt-panel", "kvt-panel", APP_INDICATOR_CATEGORY_APPLICATION_STATUS);
    app_indicator_set_icon_theme_path(g_face.indicator, icons);
    app_indicator_set_title(g_face.indicator, g_panel.icon.tip);
    build_menu();
    app_indicator_set_menu(g_face.indicator, GTK_MENU(g_face.menu));
    app_indicator_set_status(g_face.indicator, APP_INDICATOR_STATUS_ACTIVE);
    g_timeout_add(MENU_REFRESH_MS, on_refresh_timer, nullptr);

    status = panel_start_listener();
    if (status >= 0) return status;
    gtk_main();
    notify_uninit();
    return 0;
}
