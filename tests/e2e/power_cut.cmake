# A real power cut on a loop-mounted ext4 image (root and loop devices; skipped elsewhere).
if(NOT WIN32)
  add_test(NAME e2e_linux_power_cut
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/power_cut_e2e.sh
            $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples)
  set_tests_properties(e2e_linux_power_cut PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77)
endif()
