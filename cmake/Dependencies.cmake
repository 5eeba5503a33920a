# Every external library is found here once; targets elsewhere link the
# imported names below.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL REQUIRED COMPONENTS Crypto SSL)
find_package(SQLite3 REQUIRED)
find_package(ZLIB REQUIRED)

pkg_check_modules(FUSE3 REQUIRED IMPORTED_TARGET fuse3)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(GLIB REQUIRED IMPORTED_TARGET glib-2.0)
pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
pkg_check_modules(GIO_UNIX REQUIRED IMPORTED_TARGET gio-unix-2.0)
pkg_check_modules(CURL REQUIRED IMPORTED_TARGET libcurl)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(LIBZIP REQUIRED IMPORTED_TARGET libzip)
pkg_check_modules(UUID REQUIRED IMPORTED_TARGET uuid)
pkg_check_modules(PROTOBUF_C REQUIRED IMPORTED_TARGET libprotobuf-c)
find_program(PROTOC_C_EXECUTABLE NAMES protoc-c REQUIRED)
find_package(nlohmann_json 3 REQUIRED)

if(TESSARO_GUI)
  find_package(Qt6 REQUIRED COMPONENTS Core Gui Widgets Test DBus)
  # The application loads the font configuration early, beside Qt's start.
  pkg_check_modules(FONTCONFIG REQUIRED IMPORTED_TARGET fontconfig)
endif()

if(TESSARO_TESTS)
  find_package(GTest REQUIRED)
  pkg_check_modules(LIBGCRYPT IMPORTED_TARGET libgcrypt)
endif()
if(TESSARO_BENCH)
  find_package(benchmark REQUIRED)
endif()
