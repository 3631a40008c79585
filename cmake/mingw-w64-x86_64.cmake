# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (posix threads, for std::thread).
# scripts/windows/build passes the prefixes of Qt for Windows and of the libraries it builds
# both as CMAKE_PREFIX_PATH and as CMAKE_FIND_ROOT_PATH; moc, rcc and uic are the host's, from
# QT_HOST_PATH=/usr.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
list(APPEND CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The tests run under Wine; Debian keeps its 64-bit loader out of PATH.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR AND EXISTS /usr/lib/wine/wine64)
    set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()

# pkg-config answers with the Windows libraries under the roots only, never the host's .pc
# files (Qt's host tools put /usr among the prefixes). The try_compile projects read this file
# again without the roots given on the command line; they leave the setting alone.
set(PKG_CONFIG_USE_CMAKE_PREFIX_PATH OFF)
set(_quillmere_pc_dirs "")
foreach(_root IN LISTS CMAKE_FIND_ROOT_PATH)
    if(NOT _root STREQUAL "/usr/x86_64-w64-mingw32")
        list(APPEND _quillmere_pc_dirs "${_root}/lib/pkgconfig")
    endif()
endforeach()
if(_quillmere_pc_dirs)
    list(REMOVE_DUPLICATES _quillmere_pc_dirs)
    string(REPLACE ";" ":" _quillmere_pc_dirs "${_quillmere_pc_dirs}")
    set(ENV{PKG_CONFIG_LIBDIR} "${_quillmere_pc_dirs}")
    set(ENV{PKG_CONFIG_PATH} "")
    set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()
