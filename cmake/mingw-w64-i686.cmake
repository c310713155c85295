# Cross-build of LumoraUpdate.exe for 32-bit Windows with Debian's MinGW-w64 (runs under
# the same wine command once wine32 is installed).
set(LUMORA_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
