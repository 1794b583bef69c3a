// libFuzzer target for the supervisor's request parser and its key/value scanner,
// the Host header of the playlist and a line of the channel list.
// Each input is a request's received octets (at most 1020, followed by the closing
// blank line) in a buffer of exactly that size, so any read beyond them is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "marshal/marshal.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!freopen("/dev/null", "w", stdout)) return 0; // the log lines are not wanted
    marshal_set_defaults();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > REQUEST_BUF_SIZE - 4) size = REQUEST_BUF_SIZE - 4;
    char *text = static_cast<char *>(malloc(size + 4));
    memcpy(text, data, size);
    memcpy(text + size, "\r\n\r\n", 4);
    memset(&g_marshal.req, 0, sizeof g_marshal.req);
    parse_request(NET_BAD_SOCK, text, int32_t(size), 0x0100007f, 777);
    const request_record &rq = g_marshal.req;
    if (rq.qi.len > 255 || rq.vtid.len > 255) abort();

    // The scanner alone, over the input as a query text of exactly its size.
    char *query = static_cast<char *>(malloc(size ? size : 1));
    memcpy(query, data, size);
    static const char *const keys[] = {"cid", "qi", "udata", "sid", "chunk", "="};
    for (const char *key : keys) {
        const char *value = nullptr;
        int n = scan_key_value(query, int(size), key, &value);
        if (n < 0 || n > 255 || (n && (value < query || value + n > query + size))) abort();
    }
    // The Host header of the playlist and a line of the channel list.
    char host[264];
    size_t hn = host_header_authority(text, size + 4, host, sizeof host);
    if (hn >= sizeof host || (hn && strlen(host) != hn)) abort();
    channel_entry channel;
    if (channel_line_parse(query, size, &channel) &&
        (strlen(channel.name) > CHANNEL_NAME_MAX || strlen(channel.group) > CHANNEL_GROUP_MAX))
        abort();
    free(query);
    free(text);
    return 0;
}
