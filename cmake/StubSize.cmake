# The stub ships with every update, so what ships is small: no debug information in it, and
# on Windows a stub built for size.

# lumora_split_debug(TARGET): after each link of an optimised build, the program's debug
# information and symbols go to TARGET_FILE.debug beside it (objcopy --only-keep-debug),
# and the program itself is stripped and names that file (--add-gnu-debuglink), where gdb
# finds it to read a crash report. The tests, the scripts and cpack all see the stripped
# program, as it ships.
function(lumora_split_debug target)
  if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|MinSizeRel)$")
    return()
  endif()
  if(NOT CMAKE_OBJCOPY)
    message(WARNING "objcopy was not found: ${target} keeps its debug information")
    return()
  endif()
  set(file $<TARGET_FILE_NAME:${target}>)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug ${file} ${file}.debug
    COMMAND ${CMAKE_OBJCOPY} --strip-all --add-gnu-debuglink=${file}.debug ${file}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    COMMENT "Moving the debug information of ${target} to ${file}.debug"
    VERBATIM)
endfunction()

# lumora_layers_of(OUT_LAYERS OUT_SYSTEM TARGET...): the project's static libraries that
# TARGETs link, directly or through others (interface libraries included), and the system
# libraries they name.
function(lumora_layers_of out_layers out_system)
  set(layers)
  set(system)
  set(queue ${ARGN})
  while(queue)
    list(POP_FRONT queue t)
    if(NOT TARGET ${t})
      list(APPEND system ${t})
      continue()
    endif()
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(deps ${t} INTERFACE_LINK_LIBRARIES)
    else()
      if(${t} IN_LIST layers)
        continue()
      endif()
      list(APPEND layers ${t})
      get_target_property(deps ${t} LINK_LIBRARIES)
    endif()
    if(deps)
      list(APPEND queue ${deps})
    endif()
  endwhile()
  list(REMOVE_DUPLICATES system)
  set(${out_layers} ${layers} PARENT_SCOPE)
  set(${out_system} ${system} PARENT_SCOPE)
endfunction()

# lumora_stub_for_size(TARGET LAYERS lib... FAST lib...): builds the stub TARGET from the
# sources of the layers it would link (LAYERS, FAST and what they link), compiled for it
# alone (sizes measured on the 64-bit stub):
#   - -Os, which halves the layers against -O3; but the FAST layers keep -O3: the decoder's
#     inner loop, which sets the speed of an update (it costs the stub 1 to 4 KB);
#   - link-time optimisation, which drops what the stub never calls (15 KB);
#   - C++20, where std::string and std::wstring are instantiated in the program for what it
#     uses rather than linked whole from the library's archive (20 KB);
#   - no run-time type information (the stub asks no object its type; exceptions keep
#     theirs: 6 KB) and no locks around local statics (the stub runs one thread);
#   - the terminate handler that demangles the type of an uncaught exception onto standard
#     error is the plain abort: the stub has no standard error, the demangler is 45 KB;
#   - full debug information, which lumora_split_debug moves beside the stub.
# Function and data sections are not used: on Windows ld keeps every function that has
# unwind data (.pdata), so they free almost nothing, and GCC puts zero-filled data into
# .data$* sections there, which take room in the file where .bss takes none (9 KB).
# The layers' own libraries, which the tests and lumora-pack link, are not affected.
function(lumora_stub_for_size target)
  cmake_parse_arguments(S "" "" "LAYERS;FAST" ${ARGN})
  lumora_layers_of(layers system ${S_LAYERS} ${S_FAST})
  set(optimised "$<CONFIG:Release,MinSizeRel>")
  foreach(layer ${layers})
    get_target_property(dir ${layer} SOURCE_DIR)
    get_target_property(sources ${layer} SOURCES)
    set(full)
    foreach(source ${sources})
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${dir})
      list(APPEND full ${source})
    endforeach()
    target_sources(${target} PRIVATE ${full})
    if(layer IN_LIST S_FAST)
      set_source_files_properties(${full} TARGET_DIRECTORY ${target}
                                  PROPERTIES COMPILE_OPTIONS "$<${optimised}:-O3>")
    endif()
  endforeach()
  target_link_libraries(${target} PRIVATE ${system})
  set_target_properties(${target} PROPERTIES CXX_STANDARD 20)
  target_compile_options(${target} PRIVATE -fno-rtti -fno-threadsafe-statics
                                           "$<${optimised}:-Os;-g;-flto>")
  # Partitioned link-time optimisation of this program makes GCC 12 for MinGW fail
  # (internal compiler error in binds_to_current_def_p): one partition does not.
  target_link_options(${target} PRIVATE "$<${optimised}:-Os;-g;-flto;-flto-partition=one>"
                                        -Wl,--gc-sections)
  if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(prefix "_")
    endif()
    target_link_options(${target} PRIVATE
      "-Wl,--defsym=${prefix}_ZN9__gnu_cxx27__verbose_terminate_handlerEv=${prefix}abort")
  endif()
endfunction()
