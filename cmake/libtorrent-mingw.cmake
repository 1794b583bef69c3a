# libtorrent-rasterbar for the Windows build, as scripts/build-libtorrent-mingw.sh
# installs it into the build tree. Where it is, VARNEX_WIN_LIBTORRENT is ON and the
# target LibtorrentRasterbar::torrent-rasterbar gives its headers, its definitions
# (which select its ABI: no encryption, no deprecated functions) and the Windows
# libraries it needs; where it is not, the Windows build is made without it.
set(VARNEX_WIN_LIBTORRENT_PREFIX ${CMAKE_BINARY_DIR}/third_party/libtorrent
    CACHE PATH "Prefix of libtorrent-rasterbar built for mingw-w64 (scripts/build-libtorrent-mingw.sh)")
set(VARNEX_WIN_LIBTORRENT OFF)
if(EXISTS ${VARNEX_WIN_LIBTORRENT_PREFIX}/lib/libtorrent-rasterbar.a)
  # Debian's Boost headers through a folder that holds only boost/, as the library was
  # built: /usr/include itself would put the host's C headers before mingw-w64's.
  get_filename_component(third_party ${VARNEX_WIN_LIBTORRENT_PREFIX} DIRECTORY)
  set(Boost_NO_BOOST_CMAKE ON)
  set(Boost_INCLUDE_DIR ${third_party}/boost-include CACHE PATH "Boost headers for the Windows build")
  find_package(LibtorrentRasterbar CONFIG REQUIRED NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
               PATHS ${VARNEX_WIN_LIBTORRENT_PREFIX}/lib/cmake/LibtorrentRasterbar)
  # The library was built with _WIN32_WINNT 0x0600; its headers pick the hasher (CNG)
  # and Asio's Windows code by that number, so its users compile with the same one.
  # -static makes the programs need no DLL of it or of the compiler.
  set_property(TARGET LibtorrentRasterbar::torrent-rasterbar APPEND PROPERTY
               INTERFACE_COMPILE_DEFINITIONS _WIN32_WINNT=0x0600)
  set_property(TARGET LibtorrentRasterbar::torrent-rasterbar APPEND PROPERTY
               INTERFACE_LINK_LIBRARIES ws2_32 mswsock iphlpapi dbghelp bcrypt crypt32)
  set(VARNEX_WIN_LIBTORRENT ON)
  message(STATUS "libtorrent-rasterbar for Windows: ${VARNEX_WIN_LIBTORRENT_PREFIX}")
endif()
