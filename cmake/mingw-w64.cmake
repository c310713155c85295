# Cross-build of LumoraUpdate.exe for 64-bit Windows with Debian's MinGW-w64.
set(LUMORA_MINGW_TRIPLE x86_64-w64-mingw32)
set(LUMORA_WINE_BITS 64)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
