# Cross-build of LumoraUpdate.exe for 32-bit Windows with Debian's MinGW-w64 (runs under
# Wine's 32-bit loader, from wine32, where the kernel runs 32-bit programs).
set(LUMORA_MINGW_TRIPLE i686-w64-mingw32)
set(LUMORA_WINE_BITS 32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
