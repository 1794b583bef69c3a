# The swarm's feed parser on its own (no libtorrent in the fuzz build).
varnex_fuzz(fuzz_feed OpenSSL::Crypto)
target_sources(fuzz_feed PRIVATE ${CMAKE_SOURCE_DIR}/fetcher/swarm/feed.cpp)
