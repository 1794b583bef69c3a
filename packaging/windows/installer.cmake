# The Windows installer Varnex-Setup-VERSION-x64.exe, made by NSIS's makensis (Debian
# package nsis) from varnex.nsi (with data_folder.nsh and no_links.nsh) and the built
# programs: cmake --build --preset windows --target installer.
find_program(VARNEX_MAKENSIS makensis)
set(VARNEX_INSTALLER ${CMAKE_BINARY_DIR}/Varnex-Setup-${PROJECT_VERSION}-x64.exe)
if(NOT VARNEX_MAKENSIS)
  add_custom_target(installer
    COMMAND ${CMAKE_COMMAND} -E echo "makensis is missing: apt-get install nsis"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()
add_custom_target(installer
  COMMAND ${VARNEX_MAKENSIS} -V2 -DVERSION=${PROJECT_VERSION} -DBIN=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
          -DICONS=${CMAKE_SOURCE_DIR}/panel/icons -DOUT=${VARNEX_INSTALLER}
          ${CMAKE_CURRENT_LIST_DIR}/varnex.nsi
  BYPRODUCTS ${VARNEX_INSTALLER}
  COMMENT "Making ${VARNEX_INSTALLER}"
  VERBATIM)
foreach(program KVT-Marshal KVT-Relay KVT-Cinema KVT-Fetcher KVT-Keeper KVT-Panel varnex-update
        fetcher_test_signal)
  if(TARGET ${program})
    add_dependencies(installer ${program})
  endif()
endforeach()
