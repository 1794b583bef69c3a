// The swarm's feed without a network: signed by the broadcaster's key and read back;
// any octet changed, another key, a cut text or a chunk line out of order refused;
// and the sources file's swarm: lines.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "fetcher/sources/sources_file.h"
#include "fetcher/swarm/feed.h"

namespace {

void keep_bad(void *ctx, int line, const char *why) {
    static_cast<std::map<int, std::string> *>(ctx)->emplace(line, why);
}

} // namespace

TEST(FetcherSwarm, FeedIsReadOnlyWhenTheBroadcasterSignedIt) {
    uint8_t seed[FEED_SEED], other[FEED_SEED], pub[FEED_PUBLIC], other_pub[FEED_PUBLIC];
    for (int i = 0; i < FEED_SEED; i++) {
        seed[i] = uint8_t(i * 7 + 1);
        other[i] = uint8_t(i * 7 + 2);
    }
    ASSERT_TRUE(feed_public_key(seed, pub));
    ASSERT_TRUE(feed_public_key(other, other_pub));
    auto f = std::make_unique<feed>();
    f->cid = -7;
    snprintf(f->peer, sizeof f->peer, "127.0.0.2:6881");
    f->count = 3;
    for (int i = 0; i < 3; i++) {
        feed_chunk &c = f->chunks[i];
        c.number = 1000 + uint64_t(i);
        c.size = 65424 * 8;
        c.duration_ms = 6000 + i;
        for (int k = 0; k < 20; k++)
            c.info_hash[k] = uint8_t(i + k);
        c.torrent_len = 100 + size_t(i);
        for (size_t k = 0; k < c.torrent_len; k++)
            c.torrent[k] = uint8_t(k * 31 + i);
    }
    std::string text(FEED_TEXT_MAX, '\0');
    size_t n = feed_write(f.get(), seed, &text[0], text.size());
    ASSERT_GT(n, 0u);
    text.resize(n);

    auto back = std::make_unique<feed>();
    char why[FEED_WHY_MAX] = {0};
    ASSERT_TRUE(feed_read(text.data(), text.size(), pub, back.get(), why)) << why;
    EXPECT_EQ(back->cid, -7);
    EXPECT_STREQ(back->peer, "127.0.0.2:6881");
    ASSERT_EQ(back->count, 3);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(back->chunks[i].number, f->chunks[i].number);
        EXPECT_EQ(back->chunks[i].size, f->chunks[i].size);
        EXPECT_EQ(back->chunks[i].duration_ms, f->chunks[i].duration_ms);
        EXPECT_EQ(memcmp(back->chunks[i].info_hash, f->chunks[i].info_hash, 20), 0);
        ASSERT_EQ(back->chunks[i].torrent_len, f->chunks[i].torrent_len);
        EXPECT_EQ(memcmp(back->chunks[i].torrent, f->chunks[i].torrent, f->chunks[i].torrent_len),
                  0);
    }
    // Another key, and every single octet changed, refused.
    EXPECT_FALSE(feed_read(text.data(), text.size(), other_pub, back.get(), why));
    EXPECT_STREQ(why, "the signature is not the broadcaster's");
    for (size_t at = 0; at < text.size(); at += 1 + at / 64) {
        std::string t = text;
        t[at] = char(t[at] ^ 0x01);
        EXPECT_FALSE(feed_read(t.data(), t.size(), pub, back.get(), why)) << "octet " << at;
    }
    EXPECT_FALSE(feed_read(text.data(), text.size() - 1, pub, back.get(), why));
    EXPECT_FALSE(feed_read(text.data(), 10, pub, back.get(), why));
    // Signed, but chunks out of order: refused as well.
    std::swap(f->chunks[0].number, f->chunks[1].number);
    std::string unordered(FEED_TEXT_MAX, '\0');
    unordered.resize(feed_write(f.get(), seed, &unordered[0], unordered.size()));
    EXPECT_FALSE(feed_read(unordered.data(), unordered.size(), pub, back.get(), why));
    EXPECT_STREQ(why, "chunks out of order");
    // Signed, but a peer address with a control octet (the fuzz target's find): refused.
    std::string body = std::string("varnex-feed 1\ncid 7\npeer 127.0.0.2\0:6881\n", 41);
    uint8_t sig[FEED_SIG];
    ASSERT_TRUE(feed_sign(seed, body.data(), body.size(), sig));
    char sig_hex[2 * FEED_SIG + 1];
    hex_encode(sig, FEED_SIG, sig_hex);
    body += std::string("sig ") + sig_hex + "\n";
    EXPECT_FALSE(feed_read(body.data(), body.size(), pub, back.get(), why));
    EXPECT_STREQ(why, "a bad peer address");
    // Too small a buffer: nothing written.
    EXPECT_EQ(feed_write(f.get(), seed, &text[0], 300), 0u);
}

// The signatures are standard ed25519 (RFC 8032, test 1 and 2), so keys made and feeds
// signed by any build, Linux or Windows, are read by every other.
TEST(FetcherSwarm, SignaturesAreStandardEd25519) {
    struct vector {
        const char *seed, *pub, *msg, *sig;
    } vectors[] = {
        {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
         "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
         "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e06522490155"
         "5fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"},
        {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
         "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "\x72",
         "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
         "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00"},
    };
    for (const vector &v : vectors) {
        uint8_t seed[FEED_SEED], pub[FEED_PUBLIC], want_pub[FEED_PUBLIC], sig[FEED_SIG],
            want_sig[FEED_SIG];
        ASSERT_TRUE(hex_decode(v.seed, 64, seed, FEED_SEED));
        ASSERT_TRUE(hex_decode(v.pub, 64, want_pub, FEED_PUBLIC));
        ASSERT_TRUE(hex_decode(v.sig, 128, want_sig, FEED_SIG));
        size_t len = strlen(v.msg);
        ASSERT_TRUE(feed_public_key(seed, pub));
        EXPECT_EQ(memcmp(pub, want_pub, FEED_PUBLIC), 0) << v.seed;
        ASSERT_TRUE(feed_sign(seed, v.msg, len, sig));
        EXPECT_EQ(memcmp(sig, want_sig, FEED_SIG), 0) << v.seed;
        EXPECT_TRUE(feed_verify(want_pub, v.msg, len, want_sig));
        want_sig[FEED_SIG - 1] ^= 0x40;
        EXPECT_FALSE(feed_verify(want_pub, v.msg, len, want_sig));
    }
}

TEST(FetcherSwarm, SourcesFileTakesSwarmLinesWithTheirKey) {
    const std::string key(64, 'a');
    const std::string text = "7\tswarm:http://127.0.0.2:7000/7\tkey=" + key + "   ! the swarm\n" +
                             "8\tswarm:http://127.0.0.2:7000/8\n" +
                             "9\tswarm:http://127.0.0.2:7000/9\tkey=" + key.substr(1) + "\n" +
                             "10\tswarm:http://127.0.0.2:7000/10\tkey=" + key + " more\n" +
                             "900\tswarm:file:/srv/900.torrent\n";
    source_table t;
    std::map<int, std::string> bad;
    ASSERT_EQ(sources_parse(text.data(), text.size(), &t, keep_bad, &bad), 2);
    EXPECT_EQ(t.lines[1].kind, SOURCE_SWARM); // a local .torrent needs no key
    EXPECT_STREQ(t.lines[1].url, "swarm:file:/srv/900.torrent");
    EXPECT_STREQ(t.lines[1].key, "");
    EXPECT_EQ(t.lines[0].kind, SOURCE_SWARM);
    EXPECT_STREQ(t.lines[0].url, "swarm:http://127.0.0.2:7000/7");
    EXPECT_EQ(std::string(t.lines[0].key), key);
    EXPECT_EQ(bad[2], "a swarm: line needs key= and the broadcaster's 64 hex digits");
    EXPECT_EQ(bad[3], bad[2]);
    EXPECT_EQ(bad[4], "there is more than one URL");
}

TEST(FetcherSwarm, SourcesFileTakesMagnetLinksWithoutAKey) {
    const std::string ih(40, 'c');
    const std::string magnet =
        "swarm:magnet:?xt=urn:btih:" + ih + "&tr=http%3A%2F%2F127.0.0.1%3A6969%2Fannounce";
    const std::string text = "901\t" + magnet + "\n" + "902\tswarm:magnet:\n" +
                             "903\tswarm:magnet:?xt=urn:btih:" + ih + " &dn=a\n";
    source_table t;
    std::map<int, std::string> bad;
    ASSERT_EQ(sources_parse(text.data(), text.size(), &t, keep_bad, &bad), 1);
    EXPECT_EQ(t.lines[0].kind, SOURCE_SWARM);
    EXPECT_EQ(std::string(t.lines[0].url), magnet);
    EXPECT_STREQ(t.lines[0].key, "");
    EXPECT_EQ(bad[2], "a swarm: line needs key= and the broadcaster's 64 hex digits");
    EXPECT_EQ(bad[3], "there is more than one URL");
}
