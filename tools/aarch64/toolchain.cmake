# Cross build for aarch64 Linux with Debian's cross compiler, against the arm64
# libraries and headers installed beside the native ones (multiarch): the interpreter's
# headers, simdutf. Used by tools/commands.sh with -DPython_EXECUTABLE set to one of
# tools/aarch64/python3.1x, which runs the arm64 interpreter under qemu-aarch64, so that
# FindPython reads the target's extension suffix and headers from the target itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# FindPython asks the target interpreter about itself (its extension suffix, say) through
# the emulator, which runs arm64 programs under qemu-aarch64 and scripts such as
# tools/aarch64/python3.14 as they are.
# (That needs policy CMP0190 set to NEW, which only -DCMAKE_POLICY_DEFAULT_CMP0190=NEW on
# the command line can do for this project: a toolchain file comes too late.)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/emulator)

# Dragonbox is used as headers only, and Debian ships its CMake package for the build
# machine's architecture alone: take that one.
file(GLOB _zav_dragonbox_dirs /usr/lib/${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu/cmake/dragonbox-*)
if(_zav_dragonbox_dirs AND NOT dragonbox_DIR)
  list(GET _zav_dragonbox_dirs 0 _zav_dragonbox_dir)
  set(dragonbox_DIR "${_zav_dragonbox_dir}" CACHE PATH "Dragonbox's CMake package (headers only)")
endif()

