// The Windows build of libtorrent-rasterbar (scripts/build-libtorrent-mingw.sh) under
// Wine: a session with DHT, local peer discovery, UPnP and NAT-PMP off listens on
// 127.0.0.1 only, and a torrent made here of a file written here is checked against
// that file (libtorrent's hashing on Windows) and becomes a seed.
#include "platform/crypto.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/bencode.hpp>
#include <libtorrent/create_torrent.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr int piece_octets = 16 * 1024;
constexpr int file_octets = 5 * piece_octets + 1234; // a short last piece too

std::string file_pattern() {
    std::string data(file_octets, '\0');
    for (int i = 0; i < file_octets; ++i)
        data[i] = char((i * 131 + i / 7) & 0xff);
    return data;
}

lt::settings_pack loopback_only_settings() {
    lt::settings_pack pack;
    pack.set_bool(lt::settings_pack::enable_dht, false);
    pack.set_bool(lt::settings_pack::enable_lsd, false);
    pack.set_bool(lt::settings_pack::enable_upnp, false);
    pack.set_bool(lt::settings_pack::enable_natpmp, false);
    pack.set_str(lt::settings_pack::listen_interfaces, "127.0.0.1:0");
    pack.set_str(lt::settings_pack::outgoing_interfaces, "127.0.0.1");
    pack.set_int(lt::settings_pack::alert_mask, lt::alert_category::status |
                                                    lt::alert_category::error |
                                                    lt::alert_category::storage);
    return pack;
}

// The first piece's SHA-1 from the platform layer (CNG), to compare with libtorrent's.
bool first_piece_sha1(const std::string &data, uint8_t digest[20]) {
    return sha1_two_parts(data.data(), piece_octets, nullptr, 0, digest);
}

} // namespace

TEST(LibtorrentSmoke, SessionOnLoopbackSeedsATorrentMadeHere) {
    test_world world;
    const std::string dir = world.path("seed");
    ASSERT_TRUE(make_dirs(dir));
    const std::string data = file_pattern();
    ASSERT_TRUE(write_text_file(dir + "/smoke.bin", data));

    // The torrent of that one file.
    lt::file_storage files;
    lt::add_files(files, dir + "/smoke.bin");
    ASSERT_EQ(files.total_size(), file_octets);
    lt::create_torrent maker(files, piece_octets);
    lt::error_code ec;
    lt::set_piece_hashes(maker, dir, ec);
    ASSERT_FALSE(ec) << ec.message();
    std::vector<char> encoded;
    lt::bencode(std::back_inserter(encoded), maker.generate());
    auto info = std::make_shared<lt::torrent_info>(encoded, ec, lt::from_span);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_EQ(info->num_pieces(), 6);
    uint8_t digest[20];
    ASSERT_TRUE(first_piece_sha1(data, digest));
    EXPECT_EQ(0,
              std::memcmp(info->hash_for_piece(lt::piece_index_t(0)).data(), digest, sizeof digest))
        << "libtorrent's SHA-1 of the first piece differs from the platform's";

    lt::session session{lt::session_params(loopback_only_settings())};
    lt::add_torrent_params params;
    params.ti = info;
    params.save_path = dir;
    lt::torrent_handle torrent = session.add_torrent(std::move(params), ec);
    ASSERT_FALSE(ec) << ec.message();

    // Alerts until the session listens on 127.0.0.1 over TCP and the torrent seeds.
    bool listening = false, seeding = false, listened_elsewhere = false;
    int port = 0;
    std::string errors;
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!(listening && seeding) && std::chrono::steady_clock::now() < give_up) {
        session.wait_for_alert(std::chrono::milliseconds(500));
        std::vector<lt::alert *> alerts;
        session.pop_alerts(&alerts);
        for (lt::alert *a : alerts) {
            if (auto *ok = lt::alert_cast<lt::listen_succeeded_alert>(a)) {
                bool loopback = ok->address == lt::make_address_v4("127.0.0.1");
                if (!loopback) listened_elsewhere = true;
                if (loopback && ok->socket_type == lt::socket_type_t::tcp) {
                    listening = true;
                    port = ok->port;
                }
            } else if (auto *state = lt::alert_cast<lt::state_changed_alert>(a)) {
                if (state->state == lt::torrent_status::seeding) seeding = true;
            } else if (a->category() & lt::alert_category::error) {
                errors += a->message() + "\n";
            }
        }
        // The state as the torrent holds it, in case its alert came before the loop.
        if (torrent.status().state == lt::torrent_status::seeding) seeding = true;
    }
    std::printf("listening on 127.0.0.1:%d: %s, seeding: %s\n", port, listening ? "yes" : "no",
                seeding ? "yes" : "no");
    EXPECT_TRUE(listening) << errors;
    EXPECT_GT(port, 0);
    EXPECT_FALSE(listened_elsewhere) << "a listen socket on another address than 127.0.0.1";
    EXPECT_TRUE(seeding) << errors;
    lt::torrent_status status = torrent.status();
    EXPECT_TRUE(status.is_seeding);
    EXPECT_EQ(status.total_wanted_done, int64_t(file_octets));
    EXPECT_EQ(status.num_pieces, 6);
    EXPECT_EQ(session.listen_port(), port);
}
