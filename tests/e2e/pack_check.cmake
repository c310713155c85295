# lumora-pack check and diff: the check's findings against the updater's own refusals, the
# diff of two releases applied by the real LumoraUpdate, and updaters that come out the same
# wherever they are built.
if(NOT WIN32)
  add_test(NAME e2e_lumora_pack_check
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/pack_check_e2e.sh
            $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples)
  set_tests_properties(e2e_lumora_pack_check PROPERTIES TIMEOUT 300)
endif()
