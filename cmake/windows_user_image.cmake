# The Windows user-mode images (oslnkun.exe, oslnkin.dll) link no C or C++ runtime: each has its own entry
# point in place of the runtime's start-up, no static constructors, no exceptions and no RTTI, so that the
# image imports only the system functions its code calls. libgcc stays for the stack probe of frames over a
# page; it imports nothing.

# For every source that goes into these images (also the static libraries they link).
set(OSLNK_WINDOWS_USER_COMPILE_OPTIONS
    -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-threadsafe-statics
    # Loops stay loops rather than becoming calls into a C library.
    -fno-tree-loop-distribute-patterns)

# oslnk_no_static_constructors(<target>): refuses, before <target> is linked or archived, any of its objects
# that has a static constructor; without the runtime's start-up nothing would call it.
function(oslnk_no_static_constructors target)
  add_custom_command(TARGET ${target} PRE_LINK
    COMMAND "${CMAKE_COMMAND}" "-DOBJDUMP=${CMAKE_OBJDUMP}" "-DOBJECTS=$<JOIN:$<TARGET_OBJECTS:${target}>,|>"
            -P "${CMAKE_SOURCE_DIR}/cmake/check_no_static_constructors.cmake"
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
    VERBATIM)
endfunction()

# oslnk_windows_user_image(<target> <entry symbol>): links <target> without the runtimes, entering at <entry>.
# Windows 98 is version 4.0, stated rather than left to the linker's default; no NX or ASLR marks, which
# Windows 98 does not know; a DLL keeps its relocations, since it may be loaded away from its base; no symbols.
function(oslnk_windows_user_image target entry)
  target_compile_options(${target} PRIVATE ${OSLNK_WINDOWS_USER_COMPILE_OPTIONS})
  target_link_options(${target} PRIVATE
    -nostdlib -Wl,--entry,${entry} -Wl,--subsystem,windows:4.0 -Wl,--major-os-version,4
    -Wl,--minor-os-version,0 -Wl,--disable-nxcompat -Wl,--disable-dynamicbase -s)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    target_link_options(${target} PRIVATE -Wl,--enable-reloc-section)
  endif()
  target_link_libraries(${target} PRIVATE kernel32 gcc)
  oslnk_no_static_constructors(${target})
endfunction()
