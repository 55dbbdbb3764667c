# Dependencies come from Debian packages (scripts/setup installs them).
find_package(PkgConfig REQUIRED)
pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
pkg_check_modules(ARGON2 REQUIRED IMPORTED_TARGET libargon2)
# The OS keyring's Secret Service client: libdbus-1 for the bus, OpenSSL's
# libcrypto for the encrypted session (modular exponentiation, HKDF, AES).
pkg_check_modules(DBUS REQUIRED IMPORTED_TARGET dbus-1)
pkg_check_modules(LIBCRYPTO REQUIRED IMPORTED_TARGET libcrypto)

# BLAKE3: the official C sources shipped by librust-blake3-dev, built as a static PIC library.
set(ZANTU_BLAKE3_DIR "/usr/share/cargo/registry/blake3-1.3.1/c" CACHE PATH "BLAKE3 C sources")
if(NOT EXISTS "${ZANTU_BLAKE3_DIR}/blake3.h")
  message(FATAL_ERROR "BLAKE3 C sources not found in ${ZANTU_BLAKE3_DIR} (install librust-blake3-dev)")
endif()
add_library(zantu_blake3 STATIC
  ${ZANTU_BLAKE3_DIR}/blake3.c
  ${ZANTU_BLAKE3_DIR}/blake3_dispatch.c
  ${ZANTU_BLAKE3_DIR}/blake3_portable.c
  ${ZANTU_BLAKE3_DIR}/blake3_sse2_x86-64_unix.S
  ${ZANTU_BLAKE3_DIR}/blake3_sse41_x86-64_unix.S
  ${ZANTU_BLAKE3_DIR}/blake3_avx2_x86-64_unix.S
  ${ZANTU_BLAKE3_DIR}/blake3_avx512_x86-64_unix.S)
target_include_directories(zantu_blake3 SYSTEM PUBLIC ${ZANTU_BLAKE3_DIR})
set_target_properties(zantu_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
