# The terminal front-end attended: the real packed updater on a pseudo-terminal.
if(NOT WIN32)
  find_package(Python3 COMPONENTS Interpreter)
  if(Python3_Interpreter_FOUND)
    add_test(NAME e2e_terminal_attended
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/terminal_e2e.sh
              $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples)
    set_tests_properties(e2e_terminal_attended PROPERTIES TIMEOUT 300)
  endif()
endif()
