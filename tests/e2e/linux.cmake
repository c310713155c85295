# The real LumoraUpdate, packed by the real lumora-pack, over real installations, with
# the terminal front-end and standard input from /dev/null.
if(NOT WIN32)
  add_test(NAME e2e_linux_update
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/linux_e2e.sh
            $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples)
  set_tests_properties(e2e_linux_update PROPERTIES TIMEOUT 600)
endif()
