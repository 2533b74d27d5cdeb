# 64-bit Windows: the build the end-to-end tests run under Wine.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KESTROVIN_MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw_toolchain.cmake)
