# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain, posix
# thread model (std::thread, std::mutex and friends need it).
#
# Libraries are looked up in the prefix that scripts/bootstrap.sh fills
# (.deps/windows: libsodium, libzip, ada, GoogleTest, nlohmann-json) and in
# the mingw-w64 sysroot (Windows import libraries, zlib); never in the host's
# /usr, whose libraries are Linux ones.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSARYNDLE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSARYNDLE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARYNDLE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARYNDLE_MINGW_TRIPLET}-windres)

get_filename_component(_tessaryndle_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
if(NOT DEFINED TESSARYNDLE_WINDOWS_DEPS_PREFIX)
  set(TESSARYNDLE_WINDOWS_DEPS_PREFIX "${_tessaryndle_root}/.deps/windows")
endif()
set(CMAKE_FIND_ROOT_PATH "${TESSARYNDLE_WINDOWS_DEPS_PREFIX}" /usr/${TESSARYNDLE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The sysroot has both libz.a and the import library of zlib1.dll; the
# programs must not need the DLL.
set(ZLIB_USE_STATIC_LIBS ON)

# GCC 12's libstdc++ for mingw-w64 defines std::type_info::operator== out of
# line in libstdc++.a, while C++23 code gets the inline definition from
# <typeinfo> as well; with the static runtime both land in one link and ld
# reports a multiple definition (GCC bug 110572, fixed in GCC 13.3). The two
# definitions are the same function. The native build links without this
# flag, so a real duplicate definition in our own code still fails there.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,--allow-multiple-definition")
