# Windows x64 from Debian's MinGW-w64 cross compiler (posix threads); the
# programs it builds run here under Wine (cmake/wine-run).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CORVINA_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVINA_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${CORVINA_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${CORVINA_MINGW_TRIPLE}-windres)

# Libraries come from the MinGW tree only; header-only packages (stb, CLI11,
# nlohmann-json) and their CMake files are the same for every target.
set(CMAKE_FIND_ROOT_PATH /usr/${CORVINA_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# printf and friends as C99 has them (%zu, %lld), and the Windows 10 API.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -D_WIN32_WINNT=0x0A00")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1 -D_WIN32_WINNT=0x0A00")

# The compiler's own run-time (libgcc, libstdc++, winpthread) goes into every
# DLL and program, so a copied bin/ folder needs nothing else on Windows. A
# DLL exports its own code only: exporting the run-time copy inside it would
# clash with the copy of every module that links against it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -Wl,--exclude-libs,ALL")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
