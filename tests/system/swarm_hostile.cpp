// A hostile swarm peer for the tests, speaking the BitTorrent wire protocol itself:
// it reads the broadcaster's feed (without checking it), announces every chunk's
// torrent to the tracker from its own address, connects to the peers the tracker
// names and accepts theirs, claims every piece and unchokes at once; then
//   corrupt: answers every request with random octets;
//   liar:    never answers a request (it has nothing).
// Usage: swarm_hostile MODE FEED_URL OWN_IP PORT TRACKER_IP TRACKER_PORT SECONDS
// Prints "requests N served M" when it ends.
// And a greedy crowd: COUNT connections from FIRST_IP on (one address each) to the
// broadcaster, each interested in the newest chunk of the feed and asking for nothing,
// for SECONDS; prints "unchoked U of N at first, V at the end": how many the
// broadcaster had unchoked 0.8 s after they asked, and at the end.
// Usage: swarm_hostile greedy FEED_URL FIRST_IP COUNT BROADCASTER_IP PORT SECONDS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex g_lock;
std::map<std::string, int> g_pieces; // info-hash (raw) -> piece count
std::atomic<long> g_requests{0}, g_served{0};
bool g_corrupt;
std::string g_ip;
int g_port;
const char g_id[] = "-HO0001-hostilepeer1";

int connect_to(const std::string &ip, int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, g_ip.c_str(), &a.sin_addr);
    bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a); // our own address
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    timeval tv{2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

std::string http_get(const std::string &ip, int port, const std::string &path) {
    int s = connect_to(ip, port);
    if (s < 0) return "";
    std::string req = "GET " + path + " HTTP/1.0\r\n\r\n", out;
    send(s, req.data(), req.size(), MSG_NOSIGNAL);
    char buf[65536];
    for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
        out.append(buf, size_t(n));
    close(s);
    size_t body = out.find("\r\n\r\n");
    return body == std::string::npos ? "" : out.substr(body + 4);
}

bool read_all(int s, void *p, size_t n) {
    for (size_t got = 0; got < n;) {
        ssize_t r = recv(s, static_cast<char *>(p) + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
void put32(std::string *s, uint32_t v) {
    for (int k = 24; k >= 0; k -= 8)
        s->push_back(char(v >> k));
}

// One connection: handshakes (we send ours first when we called), claims all, unchokes.
void serve(int s, const std::string &want_hash) {
    timeval tv{30, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    auto handshake = [&](const std::string &ih) {
        std::string h("\x13"
                      "BitTorrent protocol",
                      20);
        h.append(8, '\0');
        h += ih;
        h.append(g_id, 20);
        return send(s, h.data(), h.size(), MSG_NOSIGNAL) == ssize_t(h.size());
    };
    if (!want_hash.empty() && !handshake(want_hash)) return (void)close(s);
    uint8_t hs[68];
    if (!read_all(s, hs, sizeof hs)) return (void)close(s);
    std::string ih(reinterpret_cast<char *>(hs + 28), 20);
    int pieces = 0;
    {
        std::lock_guard<std::mutex> l(g_lock);
        if (g_pieces.count(ih)) pieces = g_pieces[ih];
    }
    if (!pieces || (want_hash.empty() && !handshake(ih))) return (void)close(s);
    std::string m;
    put32(&m, uint32_t(1 + (pieces + 7) / 8));
    m.push_back(5); // bitfield: every piece
    for (int i = 0; i < (pieces + 7) / 8; i++) {
        int left = pieces - 8 * i;
        m.push_back(char(left >= 8 ? 0xFF : (0xFF << (8 - left)) & 0xFF));
    }
    put32(&m, 1);
    m.push_back(1); // unchoke
    send(s, m.data(), m.size(), MSG_NOSIGNAL);
    std::vector<uint8_t> msg;
    for (;;) {
        uint8_t len_be[4];
        if (!read_all(s, len_be, 4)) break;
        uint32_t len = be32(len_be);
        if (len > (1 << 20)) break;
        msg.resize(len);
        if (len && !read_all(s, msg.data(), len)) break;
        if (len != 13 || msg[0] != 6) continue; // only requests matter
        g_requests++;
        if (!g_corrupt) continue;
        uint32_t index = be32(&msg[1]), begin = be32(&msg[5]), n = be32(&msg[9]);
        if (n > 65536) break;
        std::string p;
        put32(&p, 9 + n);
        p.push_back(7);
        put32(&p, index);
        put32(&p, begin);
        for (uint32_t k = 0; k < n; k++)
            p.push_back(char(rand()));
        if (send(s, p.data(), p.size(), MSG_NOSIGNAL) != ssize_t(p.size())) break;
        g_served++;
    }
    close(s);
}

// The greedy crowd: every connection says it is interested and never asks for a block,
// so an unchoked one keeps its upload slot at the broadcaster.
int greedy(const std::string &ih, const std::string &first_ip, int count, const std::string &ip,
           int port, int seconds) {
    std::vector<int> socks;
    in_addr_t base = ntohl(inet_addr(first_ip.c_str()));
    for (int k = 0; k < count; k++) {
        in_addr own{htonl(base + in_addr_t(k))};
        g_ip = inet_ntoa(own);
        int s = connect_to(ip, port);
        if (s < 0) continue;
        std::string h("\x13"
                      "BitTorrent protocol",
                      20);
        h.append(8, '\0');
        h += ih;
        h.append("-GR0001-greedypeer", 18);
        h.push_back(char('a' + k / 26));
        h.push_back(char('a' + k % 26));
        uint8_t hs[68];
        std::string interested;
        put32(&interested, 1);
        interested.push_back(2);
        if (send(s, h.data(), h.size(), MSG_NOSIGNAL) != ssize_t(h.size()) ||
            !read_all(s, hs, sizeof hs) ||
            send(s, interested.data(), interested.size(), MSG_NOSIGNAL) != 5) {
            close(s);
            continue;
        }
        socks.push_back(s);
    }
    // Messages read as they come; an unchoke (id 1) after the last choke counts.
    std::vector<bool> unchoked(socks.size(), false);
    std::vector<std::string> got(socks.size());
    const time_t end = time(nullptr) + seconds;
    timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    int first = -1;
    while (time(nullptr) < end) {
        timespec t;
        clock_gettime(CLOCK_MONOTONIC, &t);
        if (first < 0 && (t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000 > 800) {
            first = 0;
            for (bool b : unchoked)
                first += b;
        }
        std::vector<pollfd> fds;
        for (int s : socks)
            fds.push_back({s, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        for (size_t k = 0; k < socks.size(); k++) {
            if (!(fds[k].revents & POLLIN)) continue;
            char buf[65536];
            ssize_t n = recv(socks[k], buf, sizeof buf, 0);
            if (n <= 0) continue;
            got[k].append(buf, size_t(n));
            while (got[k].size() >= 4) {
                uint32_t len = be32(reinterpret_cast<const uint8_t *>(got[k].data()));
                if (got[k].size() < 4 + size_t(len)) break;
                if (len > 0 && (got[k][4] == 0 || got[k][4] == 1)) unchoked[k] = got[k][4] == 1;
                got[k].erase(0, 4 + size_t(len));
            }
        }
    }
    int u = 0;
    for (bool b : unchoked)
        u += b;
    printf("unchoked %d of %zu at first, %d at the end\n", first, socks.size(), u);
    fflush(stdout);
    _exit(0);
}

std::string url_escape(const std::string &raw) {
    std::string out;
    char b[4];
    for (unsigned char c : raw) {
        snprintf(b, sizeof b, "%%%02X", c);
        out += b;
    }
    return out;
}

long field_after(const std::string &t, const std::string &key) {
    size_t at = t.find(key);
    return at == std::string::npos ? 0 : atol(t.c_str() + at + key.size());
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 8) {
        fprintf(stderr,
                "usage: %s corrupt|liar FEED_URL OWN_IP PORT TRACKER_IP TRACKER_PORT S\n"
                "       %s greedy FEED_URL FIRST_IP COUNT BROADCASTER_IP PORT S\n",
                argv[0], argv[0]);
        return 2;
    }
    g_corrupt = strcmp(argv[1], "corrupt") == 0;
    std::string feed_url = argv[2];
    const bool crowd = strcmp(argv[1], "greedy") == 0;
    g_ip = argv[3];
    g_port = atoi(argv[4]);
    const std::string tracker_ip = argv[5];
    const int tracker_port = atoi(argv[6]);
    const time_t end = time(nullptr) + atoi(argv[7]);
    size_t host = feed_url.find("//") + 2, colon = feed_url.find(':', host),
           slash = feed_url.find('/', host);
    const std::string feed_ip = feed_url.substr(host, colon - host);
    const int feed_port = atoi(feed_url.c_str() + colon + 1);
    const std::string feed_path = feed_url.substr(slash);

    if (crowd) {
        // The newest chunk's info-hash: the last "chunk N SIZE MS IH" line of the feed.
        std::string feed, ih;
        for (int tries = 0; tries < 100 && ih.empty(); tries++, usleep(200000)) {
            feed = http_get(feed_ip, feed_port, feed_path);
            char ih_hex[41] = {0};
            size_t at = feed.rfind("\nchunk ");
            if (at == std::string::npos ||
                sscanf(feed.c_str() + at, "\nchunk %*s %*s %*s %40s", ih_hex) != 1)
                continue;
            for (int k = 0; k < 20; k++)
                ih.push_back(char(strtol(std::string(ih_hex + 2 * k, 2).c_str(), nullptr, 16)));
        }
        if (ih.empty()) {
            fprintf(stderr, "no chunk in the feed\n");
            return 1;
        }
        return greedy(ih, argv[3], atoi(argv[4]), argv[5], atoi(argv[6]), atoi(argv[7]));
    }
    int l = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(g_port));
    inet_pton(AF_INET, g_ip.c_str(), &a.sin_addr);
    if (bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(l, 64) != 0) {
        perror("listen");
        return 1;
    }
    std::thread([l] {
        for (;;) {
            int s = accept(l, nullptr, nullptr);
            if (s >= 0) std::thread(serve, s, std::string()).detach();
        }
    }).detach();
    while (time(nullptr) < end) {
        // Every chunk line: "chunk N SIZE MS IH TORRENT"; its pieces from the torrent.
        std::string feed = http_get(feed_ip, feed_port, feed_path);
        for (size_t at = feed.find("\nchunk "); at != std::string::npos;
             at = feed.find("\nchunk ", at + 1)) {
            char ih_hex[41] = {0};
            unsigned long long size = 0;
            if (sscanf(feed.c_str() + at, "\nchunk %*s %llu %*s %40s", &size, ih_hex) != 2)
                continue;
            std::string ih;
            for (int k = 0; k < 20; k++)
                ih.push_back(char(strtol(std::string(ih_hex + 2 * k, 2).c_str(), nullptr, 16)));
            size_t t = feed.find(' ', feed.find(ih_hex, at) + 1);
            std::string torrent;
            for (size_t k = t + 1; k + 1 < feed.size() && feed[k] != '\n'; k += 2)
                torrent.push_back(char(strtol(feed.substr(k, 2).c_str(), nullptr, 16)));
            long piece = field_after(torrent, "12:piece lengthi");
            if (piece <= 0) continue;
            {
                std::lock_guard<std::mutex> g(g_lock);
                if (g_pieces.count(ih)) continue;
                g_pieces[ih] = int((size + uint64_t(piece) - 1) / uint64_t(piece));
            }
            // Announced as a seed; then it calls on every peer the tracker names.
            std::string answer = http_get(
                tracker_ip, tracker_port,
                "/announce?info_hash=" + url_escape(ih) + "&peer_id=" + g_id +
                    "&port=" + std::to_string(g_port) +
                    "&uploaded=0&downloaded=0&left=0&compact=1&event=completed&numwant=50");
            size_t p = answer.find("5:peers");
            if (p == std::string::npos) continue;
            long n = atol(answer.c_str() + p + 7);
            size_t colon2 = answer.find(':', p + 7);
            for (long k = 0; k + 6 <= n && colon2 != std::string::npos; k += 6) {
                const uint8_t *e =
                    reinterpret_cast<const uint8_t *>(answer.data() + colon2 + 1 + k);
                char ip[20];
                snprintf(ip, sizeof ip, "%d.%d.%d.%d", e[0], e[1], e[2], e[3]);
                int port = e[4] << 8 | e[5];
                if (ip == g_ip) continue;
                int s = connect_to(ip, port);
                if (s >= 0) std::thread(serve, s, ih).detach();
            }
        }
        usleep(250000);
    }
    printf("requests %ld served %ld\n", long(g_requests), long(g_served));
    fflush(stdout);
    _exit(0);
}
