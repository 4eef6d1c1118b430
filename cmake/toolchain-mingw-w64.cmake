# Cross-builds for 64-bit Windows with Debian's MinGW-w64 (POSIX threads)
# against the Qt cross-built for win32-g++, and runs the results with Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake
#
# Qt is looked for in ../shared/qt5-mingw beside the source tree; set
# KVR_QT5_MINGW_DIR (cache variable or environment) to use another copy.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_kvr_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_kvr_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_kvr_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_kvr_triple}-windres)

if(NOT KVR_QT5_MINGW_DIR)
    if(DEFINED ENV{KVR_QT5_MINGW_DIR})
        set(KVR_QT5_MINGW_DIR "$ENV{KVR_QT5_MINGW_DIR}")
    else()
        get_filename_component(KVR_QT5_MINGW_DIR
            "${CMAKE_CURRENT_LIST_DIR}/../../shared/qt5-mingw" ABSOLUTE)
    endif()
endif()
set(KVR_QT5_MINGW_DIR "${KVR_QT5_MINGW_DIR}" CACHE PATH "The Qt 5 built for win32-g++")
if(NOT EXISTS "${KVR_QT5_MINGW_DIR}/lib/cmake/Qt5/Qt5Config.cmake")
    message(FATAL_ERROR "No Qt for MinGW in ${KVR_QT5_MINGW_DIR}: set KVR_QT5_MINGW_DIR")
endif()
# The compiler checks run in their own projects, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KVR_QT5_MINGW_DIR)

set(CMAKE_FIND_ROOT_PATH /usr/${_kvr_triple} "${KVR_QT5_MINGW_DIR}")
set(CMAKE_PREFIX_PATH "${KVR_QT5_MINGW_DIR}")
# Programs (moc, uic, rcc in the Qt folder's bin/) run on this machine;
# libraries, headers and CMake packages are the target's only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The DLLs that the programs need at run time, as Wine sees them (drive Z:
# is the Linux root). The MinGW runtime comes with the compiler.
file(GLOB _kvr_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${_kvr_triple}/*-posix)
set(KVR_WINE_DLL_DIRS "${KVR_QT5_MINGW_DIR}/bin" ${_kvr_gcc_dirs} /usr/${_kvr_triple}/lib)

find_program(KVR_WINE NAMES wine wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KVR_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR "${KVR_WINE}")
endif()
