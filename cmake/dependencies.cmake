# Dependency lookup. Natively: Debian's packages, plus ada built by
# scripts/bootstrap.sh into .deps/native. For Windows: everything built by
# scripts/bootstrap.sh into .deps/windows (see cmake/mingw-w64-x86_64.cmake).

if(WIN32)
  set(TESSARYNDLE_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/.deps/windows" CACHE PATH "Prefix of the Windows dependencies")
else()
  set(TESSARYNDLE_DEPS_PREFIX "${CMAKE_SOURCE_DIR}/.deps/native" CACHE PATH "Prefix of the native dependencies")
endif()
list(PREPEND CMAKE_PREFIX_PATH "${TESSARYNDLE_DEPS_PREFIX}")

find_package(nlohmann_json 3.11 REQUIRED)
add_library(tessaryndle::json INTERFACE IMPORTED)
target_link_libraries(tessaryndle::json INTERFACE nlohmann_json::nlohmann_json)

find_package(ada REQUIRED)
add_library(tessaryndle::ada INTERFACE IMPORTED)
target_link_libraries(tessaryndle::ada INTERFACE ada::ada)

find_package(PkgConfig REQUIRED)

# Debian's libzip CMake package refers to its command-line tools, which live
# in another package; pkg-config needs nothing beyond the library.
add_library(tessaryndle::zip INTERFACE IMPORTED)
if(WIN32)
  # The static libzip package names ZLIB::ZLIB without looking it up (the
  # toolchain file makes this find the static mingw zlib), and its header
  # needs ZIP_STATIC to declare the functions without dllimport.
  find_package(ZLIB REQUIRED)
  find_package(libzip REQUIRED)
  target_link_libraries(tessaryndle::zip INTERFACE libzip::zip)
  target_compile_definitions(tessaryndle::zip INTERFACE ZIP_STATIC)
else()
  pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
  target_link_libraries(tessaryndle::zip INTERFACE PkgConfig::LIBZIP)
endif()
if(WIN32)
  find_path(SODIUM_INCLUDE_DIR sodium.h PATHS "${TESSARYNDLE_DEPS_PREFIX}/include" NO_DEFAULT_PATH REQUIRED)
  find_library(SODIUM_LIBRARY NAMES libsodium.a PATHS "${TESSARYNDLE_DEPS_PREFIX}/lib" NO_DEFAULT_PATH REQUIRED)
  add_library(tessaryndle::sodium INTERFACE IMPORTED)
  target_include_directories(tessaryndle::sodium INTERFACE ${SODIUM_INCLUDE_DIR})
  target_link_libraries(tessaryndle::sodium INTERFACE ${SODIUM_LIBRARY})
  target_compile_definitions(tessaryndle::sodium INTERFACE SODIUM_STATIC=1)
else()
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  add_library(tessaryndle::sodium INTERFACE IMPORTED)
  target_link_libraries(tessaryndle::sodium INTERFACE PkgConfig::SODIUM)
  find_package(OpenSSL 3 REQUIRED)
  add_library(tessaryndle::openssl INTERFACE IMPORTED)
  target_link_libraries(tessaryndle::openssl INTERFACE OpenSSL::Crypto)
  # The client library's HTTPS transport; on Windows it is WinHTTP.
  pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
  add_library(tessaryndle::curl INTERFACE IMPORTED)
  target_link_libraries(tessaryndle::curl INTERFACE PkgConfig::CURL)
  # The native progress window; on Windows it is made of system controls.
  pkg_check_modules(GTK3 REQUIRED IMPORTED_TARGET gtk+-3.0)
  add_library(tessaryndle::gtk INTERFACE IMPORTED)
  target_link_libraries(tessaryndle::gtk INTERFACE PkgConfig::GTK3)
endif()

if(TESSARYNDLE_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
