# UninstallTovikComponents.exe: a 32-bit console program for Windows 7 and
# later that needs nothing but system DLLs.
enable_language(RC)

add_executable(UninstallTovikComponents
  src/cleanup/main.cpp
  ${PROGRAM_SOURCES}
  src/cleanup/UninstallTovikComponents.rc)

target_include_directories(UninstallTovikComponents PRIVATE ${PROGRAM_INCLUDE_DIR})
# Windows 7 is the oldest system with the K32 process-status functions in
# kernel32.
target_compile_definitions(UninstallTovikComponents PRIVATE
  WINVER=0x0601 _WIN32_WINNT=0x0601 NOMINMAX)
target_compile_options(UninstallTovikComponents PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:${PROGRAM_WARNINGS}>)
set_source_files_properties(src/cleanup/UninstallTovikComponents.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/cleanup/UninstallTovikComponents.exe.manifest)

target_link_options(UninstallTovikComponents PRIVATE
  -static
  # The static runtime brings its debug sections along; a release ships
  # without them.
  $<$<CONFIG:Release>:-s>
  # Declare Windows Vista/7 (6.0) as the oldest system, not the linker's 4.0.
  -Wl,--major-os-version,6,--minor-os-version,0
  -Wl,--major-subsystem-version,6,--minor-subsystem-version,0)
# No msi: the program loads msi.dll from the system folder at run time.
target_link_libraries(UninstallTovikComponents PRIVATE
  shell32 ole32 user32 uuid)
