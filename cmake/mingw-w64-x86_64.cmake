# Cross build for Windows x86-64 with MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Static, so that no MinGW runtime DLL has to stand beside the .exe files. Stripped (the static
# runtime brings debug sections that would be loaded with the image) and with sections aligned to
# pages in the file, so that the loader can map them instead of copying them into private memory.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -s -Wl,--file-alignment,4096")
