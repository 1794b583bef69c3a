# The swarm's feed parser on its own; its ed25519 is libtorrent's, as in the fetcher.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(FUZZ_LIBTORRENT IMPORTED_TARGET libtorrent-rasterbar)
endif()
if(FUZZ_LIBTORRENT_FOUND)
  varnex_fuzz(fuzz_feed PkgConfig::FUZZ_LIBTORRENT)
  target_sources(fuzz_feed PRIVATE ${CMAKE_SOURCE_DIR}/fetcher/swarm/feed.cpp
                                   ${CMAKE_SOURCE_DIR}/fetcher/swarm/feed_sign.cpp)
endif()
