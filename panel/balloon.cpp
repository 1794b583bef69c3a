// show_balloon: the balloon text in the icon record, shown by the face; and the text
// itself, which reaches a desktop: valid UTF-8, cut on a character boundary.
#include <cstring>

#include "panel/panel.h"
#include "utils/utf8.h"

void balloon_text_of(const char *data, size_t len, char out[BALLOON_TEXT_SIZE]) {
    static const char REPLACEMENT[] = "\xEF\xBF\xBD"; // U+FFFD
    const unsigned char *s = reinterpret_cast<const unsigned char *>(data);
    size_t at = 0, used = 0;
    while (at < len && s[at] != 0) {
        size_t consumed;
        size_t size = utf8_character(s + at, len - at, &consumed);
        const char *piece = size ? data + at : REPLACEMENT;
        if (!size) size = sizeof REPLACEMENT - 1;
        if (used + size > BALLOON_TEXT_SIZE - 1) break; // whole characters only
        std::memcpy(out + used, piece, size);
        used += size;
        at += consumed;
    }
    out[used] = 0;
}

void show_balloon(const char *text) {
    panel_icon_record &icon = g_panel.icon;
    char clean[BALLOON_TEXT_SIZE];
    balloon_text_of(text, strnlen(text, PIPE_MESSAGE_MAX), clean);
    std::memcpy(icon.balloon_text, clean, sizeof clean);
    icon.flags = PANEL_NIF_MESSAGE | PANEL_NIF_ICON | PANEL_NIF_TIP | PANEL_NIF_INFO;
    icon.balloon_info_flags |= PANEL_NIIF_INFO_USER;
    icon.balloon_timeout_ms = BALLOON_TIMEOUT_MS;
    icon.balloon_title[0] = 0;
    if (g_panel.face && g_panel.face->show_balloon) g_panel.face->show_balloon(&icon);
}
