# The Debian package varnex_VERSION_ARCH.deb, made by CPack from the install rules
# with the prefix /usr. The staged tree is then laid out as Debian wants it
# (debian/layout.cmake): the user unit in /usr/lib/systemd/user, the tray's autostart
# entry in /etc/xdg/autostart, the copyright and changelog in /usr/share/doc/varnex.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Varnex")
set(CPACK_PACKAGE_CONTACT "Varnex developers <packages@varnex.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client of the Varnex live TV and movie service")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Varnex plays live TV channels and movies from the Varnex peer network in any\n"
    "media player. The supervisor KVT-Marshal answers players on port 6689 and\n"
    "starts the streamers; KVT-Keeper runs it as the user service VarnexService;\n"
    "the tray KVT-Panel starts and stops it and sets the account and the limits.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are the packages of the libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/conffiles)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/layout.cmake)
set(CPACK_VARNEX_DEBIAN_DIR ${CMAKE_CURRENT_LIST_DIR})
include(CPack)
