# The Windows executable: the tool, the real platform seam, and the manifest
# and version resources.
enable_language(RC)

add_library(kestrovin_platform STATIC src/platform/windows/windows_platform.cpp)
target_include_directories(kestrovin_platform PUBLIC src)
target_compile_options(kestrovin_platform PRIVATE ${KESTROVIN_WARNINGS} -fno-exceptions -fno-rtti)

add_executable(Kestrovin src/run/main.cpp res/kestrovin.rc)
set_target_properties(Kestrovin PROPERTIES OUTPUT_NAME Kestrovin)
target_compile_options(Kestrovin PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${KESTROVIN_WARNINGS} -fno-exceptions -fno-rtti>)
# windres looks up the manifest named in the .rc through the include path.
target_include_directories(Kestrovin PRIVATE res)
target_link_libraries(Kestrovin PRIVATE kestrovin_tool kestrovin_platform
  setupapi shell32 user32 advapi32)
# Static C++ and GCC runtimes: the tool imports only DLLs every Windows has.
target_link_options(Kestrovin PRIVATE -static -static-libgcc -static-libstdc++
  $<$<CONFIG:MinSizeRel>:-s>)
