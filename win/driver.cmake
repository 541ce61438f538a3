# add_sys(<name> <source globs...>): one kernel driver image, <name>.sys, for
# the architecture of the toolchain file (i686 or x86_64 mingw-w64). Used by
# win/CMakeLists.txt and by the Wine check's test build (tests/wine/).
#
# What differs between the two architectures:
# - the DDK headers: mingw-w64's own per target (DDK_INCLUDE);
# - the entry symbol: stdcall decorates it on x86 (_DriverEntry@8); x64 has
#   one calling convention and no decoration (DRIVER_ENTRY);
# - unwind data: x86 has none (its exceptions are frame-based), so the image
#   carries no unwind tables. On x64 the kernel unwinds every frame through
#   the image's .pdata/.xdata (exception dispatch, bug check and debugger stack
#   walks); a routine without an entry would be taken for a leaf and unwinding
#   through it would go wrong, so the x64 image keeps them. Neither carries
#   DWARF .eh_frame.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(DRIVER_ENTRY DriverEntry CACHE STRING "The driver image's entry symbol")
  set(DRIVER_UNWIND_OPTIONS "")
else()
  set(DRIVER_ENTRY _DriverEntry@8 CACHE STRING "The driver image's entry symbol")
  set(DRIVER_UNWIND_OPTIONS -fno-asynchronous-unwind-tables -fno-unwind-tables)
endif()
set(DDK_INCLUDE ${CMAKE_FIND_ROOT_PATH}/include/ddk CACHE PATH "mingw-w64's DDK headers for the target")

set(CMAKE_CXX_STANDARD 17)
# No user-mode libraries (kernel32, user32, ...): a call into one fails to link
# instead of producing a driver Windows refuses to load.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

function(add_sys name)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${ARGN})
  add_executable(${name} ${sources})
  set_target_properties(${name} PROPERTIES SUFFIX ".sys" PREFIX "")
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  # The DDK headers are the platform's: their own warnings are not ours to fix.
  target_include_directories(${name} SYSTEM PRIVATE ${DDK_INCLUDE})
  target_compile_options(${name} PRIVATE
    -fno-exceptions -fno-rtti ${DRIVER_UNWIND_OPTIONS} -fno-stack-protector
    -ffreestanding -fno-builtin -O2
    # Strict: a warning in driver code fails the Windows build.
    -Wall -Werror -Wno-unused-parameter -Wno-missing-field-initializers -Wno-unknown-pragmas)
  target_link_options(${name} PRIVATE
    -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,${DRIVER_ENTRY}
    -Wl,--image-base,0x10000 -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
    -Wl,--stack,0x40000 -Wl,--dynamicbase -Wl,--nxcompat
    # A driver exports nothing (the linker would otherwise export every
    # global), and carries no debug sections.
    -Wl,--exclude-all-symbols -Wl,--strip-all)
  # HAL first so that the routines HAL exports (spin locks, IRQL, performance
  # counter) are imported from HAL.dll as on a real system.
  # No libgcc: the 64-bit division helpers come from the kernel (common/runtime64.h).
  target_link_libraries(${name} PRIVATE hal ntoskrnl ${EXTRA_LIBS_${name}})
endfunction()
