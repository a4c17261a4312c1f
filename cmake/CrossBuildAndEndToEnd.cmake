# Builds the Windows executable and its test fixtures with the mingw-w64
# cross compiler, then registers the tests that run them under Wine.
include(ExternalProject)

find_program(MINGW_CXX i686-w64-mingw32-g++)
find_program(WINE wine)
find_program(WINESERVER wineserver)
find_program(XVFB Xvfb)
find_program(WIXL wixl)
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)
foreach(tool MINGW_CXX WINE WINESERVER XVFB WIXL)
  if(NOT ${tool})
    message(FATAL_ERROR
      "${tool} not found: the Windows build and its end-to-end tests need it. "
      "Run scripts/setup.sh as root to install what is missing.")
  endif()
endforeach()

set(WINDOWS_BUILD_DIR ${CMAKE_BINARY_DIR}/windows)
ExternalProject_Add(windows_build
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${WINDOWS_BUILD_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-mingw-i686.cmake
    -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)

add_subdirectory(tests/metadata)
add_subdirectory(tests/e2e)
add_subdirectory(tests/release)
