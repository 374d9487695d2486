# Cross build for 64-bit Windows with Debian's MinGW-w64 (POSIX threads)
# against the toolkit unpacked by scripts/windows.sh; pass its folder as
# NC_QT_DIR. Programs built here run under Wine through wine-run.sh, so
# that ctest in the build folder runs the Windows test programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)

find_program(CMAKE_CXX_COMPILER NAMES ${triple}-g++-posix REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${triple}-gcc-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${triple}-windres REQUIRED)

set(NC_QT_DIR "$ENV{NC_QT_DIR}" CACHE PATH "The unpacked MinGW build of the toolkit")
# The compiler checks' own projects need it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES NC_QT_DIR)
if(NOT EXISTS "${NC_QT_DIR}/lib/cmake/Qt5/Qt5Config.cmake")
  message(FATAL_ERROR "NC_QT_DIR (${NC_QT_DIR}) holds no toolkit: run scripts/windows.sh")
endif()
# Headers and libraries from the target's world only; programs (moc, uic,
# rcc, which the toolkit ships as Linux programs) from the host's.
set(CMAKE_FIND_ROOT_PATH /usr/${triple} "${NC_QT_DIR}")
set(CMAKE_PREFIX_PATH "${NC_QT_DIR}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's own runtime DLLs, which every program built here needs.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libstdc++-6.dll
                OUTPUT_VARIABLE stdcxx_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(NC_MINGW_RUNTIME_DIR "${stdcxx_dll}" DIRECTORY)
set(NC_MINGW_RUNTIME_DIRS "${NC_MINGW_RUNTIME_DIR}" /usr/${triple}/lib CACHE INTERNAL "")

set(CMAKE_CROSSCOMPILING_EMULATOR
    "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;--dlls;${NC_QT_DIR}/bin;--dlls;${NC_MINGW_RUNTIME_DIR};--dlls;/usr/${triple}/lib")
