# lumora-pack's command line: every command, its output and its exit codes.
if(NOT WIN32)
  add_test(NAME e2e_lumora_pack
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/pack_e2e.sh
            $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples)
  set_tests_properties(e2e_lumora_pack PROPERTIES TIMEOUT 300)
endif()
