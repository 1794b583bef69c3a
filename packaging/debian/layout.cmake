# Run by CPack on the staged tree before it is packed: moves the files that the
# install rules put under share/ to where a package puts them, and adds the
# copyright and changelog files every Debian package carries.
message(STATUS "Laying out ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
set(root ${CPACK_TEMPORARY_INSTALL_DIRECTORY})
set(usr ${root}/usr)

file(MAKE_DIRECTORY ${usr}/lib/systemd/user ${root}/etc/xdg/autostart ${usr}/share/doc/varnex)
file(RENAME ${usr}/share/systemd/user/VarnexService.service
     ${usr}/lib/systemd/user/VarnexService.service)
file(REMOVE_RECURSE ${usr}/share/systemd)
file(RENAME ${usr}/share/kvt-panel/autostart/kvt-panel.desktop
     ${root}/etc/xdg/autostart/kvt-panel.desktop)
file(REMOVE_RECURSE ${usr}/share/kvt-panel)

file(COPY ${CPACK_VARNEX_DEBIAN_DIR}/copyright DESTINATION ${usr}/share/doc/varnex)
# The changelog names the build's version, the package's.
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${usr}/share/doc/varnex/changelog
     "varnex (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
     "  * Release ${CPACK_PACKAGE_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  ${date}\n")
execute_process(COMMAND gzip -9nf ${usr}/share/doc/varnex/changelog COMMAND_ERROR_IS_FATAL ANY)
# Files 0644 and folders 0755, whatever the umask of the build was.
file(GLOB_RECURSE staged LIST_DIRECTORIES true ${root}/*)
foreach(path ${staged})
  if(IS_DIRECTORY ${path})
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
  elseif(NOT path MATCHES "/usr/bin/[^/]+$" OR path MATCHES "\\.ts$")
    file(CHMOD ${path} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()
endforeach()
