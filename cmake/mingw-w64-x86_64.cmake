# 64-bit Windows: never released, it runs the Windows suite under 64-bit Wine where the kernel
# runs no 32-bit program. Debian's wine command would take the 32-bit loader whenever wine32 is
# installed, so the 64-bit loader (package wine64) is named itself, and so is its server.
set(PROTOSWITCH_MINGW_ARCH x86_64)
set(PROTOSWITCH_WINE /usr/lib/wine/wine64)
set(PROTOSWITCH_WINE_ENV WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
                         WINESERVER=/usr/lib/wine/wineserver64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
