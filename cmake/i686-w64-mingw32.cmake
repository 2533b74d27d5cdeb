# 32-bit Windows: the release artefact.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KESTROVIN_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw_toolchain.cmake)
