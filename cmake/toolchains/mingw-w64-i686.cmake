# 32-bit Windows builds with MinGW-w64 (preset win32), the client's own ABI: its alignment of
# 64-bit members (8) is what the boundary records' layout asserts are checked against. Test
# programs run under 32-bit Wine where it is installed (/usr/lib/wine/wine); elsewhere they are
# not built (tests/CMakeLists.txt).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TPK_MINGW_TRIPLE i686-w64-mingw32)
if(EXISTS /usr/lib/wine/wine)
  set(TPK_WINE /usr/lib/wine/wine)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
