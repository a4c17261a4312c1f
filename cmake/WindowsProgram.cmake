# UninstallTovikComponents.exe: a 32-bit console program for Windows 7 and
# later that needs nothing but system DLLs.
enable_language(RC)

# The compile definitions, warnings and link options of every program we
# ship or measure as if shipped: the executable itself and the benchmark's
# do-nothing baseline, which must be built exactly alike.
function(tovik_windows_program target)
  # Windows 7 is the oldest system with the K32 process-status functions in
  # kernel32.
  target_compile_definitions(${target} PRIVATE
    WINVER=0x0601 _WIN32_WINNT=0x0601 NOMINMAX)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${PROGRAM_WARNINGS}>
    # A release must not depend on where it was built: __FILE__ and any
    # debug information name the sources relative to the tree.
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>
    $<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>)
  target_link_options(${target} PRIVATE
    -static
    # The static runtime brings its debug sections along; a release ships
    # without them.
    $<$<CONFIG:Release>:-s>
    # Declare Windows Vista/7 (6.0) as the oldest system, not the linker's
    # 4.0.
    -Wl,--major-os-version,6,--minor-os-version,0
    -Wl,--major-subsystem-version,6,--minor-subsystem-version,0
    # The linker would write the link time into the header (and the
    # checksum after it); without it, two builds of one commit are the
    # same bytes, which is what lets anyone compare a download with a
    # build of their own.
    -Wl,--no-insert-timestamp)
endfunction()

add_executable(UninstallTovikComponents
  src/cleanup/main.cpp
  ${PROGRAM_SOURCES}
  src/cleanup/UninstallTovikComponents.rc)

target_include_directories(UninstallTovikComponents PRIVATE ${PROGRAM_INCLUDE_DIR})
tovik_windows_program(UninstallTovikComponents)
set_source_files_properties(src/cleanup/UninstallTovikComponents.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/cleanup/UninstallTovikComponents.exe.manifest)
# No msi: the program loads msi.dll from the system folder at run time.
target_link_libraries(UninstallTovikComponents PRIVATE
  shell32 ole32 user32 uuid)
