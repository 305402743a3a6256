# Cross build for 64-bit Windows with Debian's MinGW-w64, in its posix-threads variant
# (std::thread and std::mutex need it; the win32 variant has neither).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_vision_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_vision_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_vision_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_vision_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_vision_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs of this build run under Wine, where it is installed.
find_program(_vision_wine NAMES wine wine64)
if(_vision_wine AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${_vision_wine} CACHE STRING "Runs Windows programs of this build")
endif()
