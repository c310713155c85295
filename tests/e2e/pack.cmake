# lumora-pack's command line: every command, its output and its exit codes. The Windows
# packer runs under Wine, and its updaters are compared with the Linux packer's (that of
# the release preset, or LUMORA_LINUX_PACK).
if(WIN32)
  set(LUMORA_LINUX_PACK "${CMAKE_SOURCE_DIR}/build/release/tools/pack/lumora-pack"
      CACHE FILEPATH "The Linux lumora-pack that the Windows one must match byte for byte")
  set(PACK_E2E_LINUX ${LUMORA_LINUX_PACK})
else()
  set(PACK_E2E_LINUX "")
endif()
add_test(NAME e2e_lumora_pack
  COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/pack_e2e.sh
          $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples
          ${PACK_E2E_LINUX})
set_tests_properties(e2e_lumora_pack PROPERTIES TIMEOUT 300)
if(WIN32)
  # The Wine loader for the packer's width (cmake/wine-loader.sh).
  set_tests_properties(e2e_lumora_pack PROPERTIES ENVIRONMENT "LUMORA_WINE_BITS=${LUMORA_WINE_BITS}")
endif()
