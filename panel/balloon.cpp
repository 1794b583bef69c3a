// show_balloon: the balloon text in the icon record, shown by the face; and the text
// itself, which reaches a desktop: valid UTF-8, cut on a character boundary.
#include <cstring>

#include "panel/panel.h"

// The well-formed UTF-8 character at s (n octets readable): its length, or 0 when
// the octets there are ill-formed. *consumed is then the length of the ill-formed
// part (its longest prefix that could still have begun a character, at least 1),
// which one replacement character stands for.
static size_t utf8_character(const unsigned char *s, size_t n, size_t *consumed) {
    unsigned char c = s[0], lo = 0x80, hi = 0xBF;
    size_t need;
    if (c < 0x80) {
        *consumed = 1;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        if (c == 0xE0) lo = 0xA0; // no overlong forms
        if (c == 0xED) hi = 0x9F; // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F; // nothing above U+10FFFF
    } else {
        *consumed = 1;
        return 0;
    }
    size_t i = 1;
    for (; i < need && i < n && s[i] >= lo && s[i] <= hi; i++) {
        lo = 0x80;
        hi = 0xBF;
    }
    *consumed = i;
    return i == need ? need : 0;
}

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
