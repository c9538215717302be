# 64-bit Windows builds with MinGW-w64 (preset win64); test programs run under 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TPK_MINGW_TRIPLE x86_64-w64-mingw32)
set(TPK_WINE /usr/lib/wine/wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
