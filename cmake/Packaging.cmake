# cmake --install puts lumora-pack on the PATH with its manual page, and the LumoraUpdate
# stub where lumora-pack create --stub finds it; cpack makes a .deb on Linux and a .zip
# on Windows of the same files.
include(GNUInstallDirs)

if(WIN32)
  # One folder: the packer and the stub side by side.
  set(LUMORA_STUB_DIR ${CMAKE_INSTALL_BINDIR})
else()
  # The stub is not a command of its own: run, it would look for an archive in itself.
  set(LUMORA_STUB_DIR lib/lumora-pack)
endif()
# What ships carries no debug information: the programs in the build are stripped already,
# their debug information beside them (lumora_split_debug, cmake/StubSize.cmake).
install(TARGETS LumoraUpdate RUNTIME DESTINATION ${LUMORA_STUB_DIR})
if(NOT CMAKE_CROSSCOMPILING)
  # The updater's own manual page, its --help text: what a user or an administrator types.
  set(LUMORA_UPDATE_MAN_PAGE ${CMAKE_BINARY_DIR}/LumoraUpdate.1)
  add_custom_command(OUTPUT ${LUMORA_UPDATE_MAN_PAGE}
    COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/help-to-man.sh $<TARGET_FILE:LumoraUpdate>
            ${LUMORA_UPDATE_MAN_PAGE} LumoraUpdate "update the Lumora database from the archive it carries"
    DEPENDS LumoraUpdate ${CMAKE_SOURCE_DIR}/cmake/help-to-man.sh VERBATIM)
  add_custom_target(lumora-update-man ALL DEPENDS ${LUMORA_UPDATE_MAN_PAGE})
  install(FILES ${LUMORA_UPDATE_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

if(TARGET lumora-pack)
  install(TARGETS lumora-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT CMAKE_CROSSCOMPILING)
    set(LUMORA_MAN_PAGE ${CMAKE_BINARY_DIR}/lumora-pack.1)
    add_custom_command(OUTPUT ${LUMORA_MAN_PAGE}
      COMMAND sh ${CMAKE_SOURCE_DIR}/cmake/help-to-man.sh $<TARGET_FILE:lumora-pack> ${LUMORA_MAN_PAGE}
      DEPENDS lumora-pack ${CMAKE_SOURCE_DIR}/cmake/help-to-man.sh VERBATIM)
    add_custom_target(lumora-pack-man ALL DEPENDS ${LUMORA_MAN_PAGE})
    install(FILES ${LUMORA_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
endif()

set(CPACK_PACKAGE_NAME lumora-pack)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Builds self-extracting updaters of the Lumora database")
set(CPACK_PACKAGE_CONTACT "LumoraUpdate developers <lumora-update@localhost>")
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-${CMAKE_SYSTEM_PROCESSOR})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The X and font libraries the FLTK window links to, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
