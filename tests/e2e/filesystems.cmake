# The update and --repair on XFS, Btrfs, FAT and exFAT images (root, loop devices and, for
# FAT and exFAT where the kernel has no driver, FUSE; each file system missing here is skipped).
if(NOT WIN32)
  add_test(NAME e2e_linux_filesystems
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/filesystems_e2e.sh
            $<TARGET_FILE:lumora-pack> $<TARGET_FILE:LumoraUpdate> ${CMAKE_SOURCE_DIR}/examples)
  set_tests_properties(e2e_linux_filesystems PROPERTIES TIMEOUT 600 SKIP_RETURN_CODE 77)
endif()
