# Builds the Windows executable and its test fixtures with the mingw-w64
# cross compiler, then registers the tests that run them under Wine.
include(ExternalProject)

find_program(MINGW_CXX i686-w64-mingw32-g++)
# The x86-64 cross compiler builds the 64-bit fixture programs.
find_program(MINGW64_CC x86_64-w64-mingw32-gcc)
find_program(MINGW64_CXX x86_64-w64-mingw32-g++)
find_program(WINE wine)
# Wine's 64-bit loader, which makes 64-bit prefixes; Debian keeps it off PATH.
find_program(WINE64 wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(WINESERVER wineserver)
find_program(XVFB Xvfb)
find_program(WIXL wixl)
find_program(MAKENSIS makensis)
find_package(Python3 3.9 REQUIRED COMPONENTS Interpreter)
foreach(tool MINGW_CXX MINGW64_CC MINGW64_CXX WINE WINE64 WINESERVER XVFB WIXL MAKENSIS)
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

# What every test that runs the program under Wine is told: the programs,
# the tools, and where the booted prefix of each kind of Windows is kept
# (E2E_PREFIX_DIR/prefix-<kind>, made by the e2e.<kind>.prefix tests).
set(E2E_FIXTURES64_DIR ${CMAKE_BINARY_DIR}/tests/e2e/fixtures64)
set(E2E_PREFIX_DIR ${CMAKE_BINARY_DIR}/tests/e2e)
set(E2E_ENVIRONMENT
  TOVIK_EXE=${WINDOWS_BUILD_DIR}/UninstallTovikComponents.exe
  TOVIK_FIXTURES=${WINDOWS_BUILD_DIR}/tests/e2e/fixtures
  TOVIK_FIXTURES64=${E2E_FIXTURES64_DIR}
  TOVIK_FACTS=${WINDOWS_BUILD_DIR}/tests/facts/win32_facts.exe
  TOVIK_FACTS64=${E2E_FIXTURES64_DIR}/win32_facts.exe
  WINE=${WINE}
  WINE64=${WINE64}
  WINESERVER=${WINESERVER}
  XVFB=${XVFB}
  WIXL=${WIXL}
  MAKENSIS=${MAKENSIS}
  PYTHONDONTWRITEBYTECODE=1)

add_subdirectory(tests/metadata)
add_subdirectory(tests/e2e)
add_subdirectory(tests/release)
