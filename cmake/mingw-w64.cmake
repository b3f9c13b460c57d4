# Cross-build for Windows with Debian's mingw-w64 (the -posix thread model, which has
# std::mutex for GoogleTest), for the processor PROTOSWITCH_MINGW_ARCH (i686 or x86_64) that the
# including toolchain file names. Test programs run under Wine: PROTOSWITCH_WINE is the Wine
# loader for that processor and PROTOSWITCH_WINE_ENV what its prefix and processes need.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PROTOSWITCH_MINGW_ARCH})
set(CMAKE_C_COMPILER ${PROTOSWITCH_MINGW_ARCH}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${PROTOSWITCH_MINGW_ARCH}-w64-mingw32-g++-posix)
set(PROTOSWITCH_WINDRES ${PROTOSWITCH_MINGW_ARCH}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PROTOSWITCH_MINGW_ARCH}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh ${PROTOSWITCH_WINE})
