# 32-bit Windows, the product. Debian's wine command takes the 32-bit loader (wine32).
set(PROTOSWITCH_MINGW_ARCH i686)
set(PROTOSWITCH_WINE wine)
set(PROTOSWITCH_WINE_ENV WINEARCH=win32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
