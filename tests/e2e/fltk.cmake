# The real LumoraUpdate with its FLTK window on an X display (its own Xvfb when DISPLAY is
# unset), driven with xdotool; screenshots of the windows go to screenshots/.
if(TARGET lumora_ui_fltk AND TARGET lumora-x11-close)
  add_test(NAME e2e_fltk_window
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/fltk_e2e.sh
            $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples
            $<TARGET_FILE:lumora-x11-close> ${CMAKE_BINARY_DIR}/screenshots)
  set_tests_properties(e2e_fltk_window PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77
                                                   RESOURCE_LOCK x_display)
endif()
