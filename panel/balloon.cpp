// show_balloon: the balloon text in the icon record, shown by the face.
#include <cstring>

#include "panel/panel.h"

void show_balloon(const char *text) {
    panel_icon_record &icon = g_panel.icon;
    size_t n = strnlen(text, BALLOON_TEXT_SIZE - 1);
    if (text != icon.balloon_text) std::memmove(icon.balloon_text, text, n);
    icon.balloon_text[n] = 0;
    icon.flags = PANEL_NIF_MESSAGE | PANEL_NIF_ICON | PANEL_NIF_TIP | PANEL_NIF_INFO;
    icon.balloon_info_flags |= PANEL_NIIF_INFO_USER;
    icon.balloon_timeout_ms = BALLOON_TIMEOUT_MS;
    icon.balloon_title[0] = 0;
    if (g_panel.face && g_panel.face->show_balloon) g_panel.face->show_balloon(&icon);
}
