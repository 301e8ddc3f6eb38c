# The project's external libraries, all from Debian 12 packages installed by
# scripts/setup.sh. Nothing is downloaded at build time.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(nanopb REQUIRED)
pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
pkg_check_modules(P11KIT REQUIRED IMPORTED_TARGET p11-kit-1)

# mbedTLS 2.28 ships no CMake or pkg-config files on Debian 12.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h REQUIRED)
find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
add_library(vexa_mbedtls INTERFACE)
target_include_directories(vexa_mbedtls SYSTEM INTERFACE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(vexa_mbedtls INTERFACE ${MBEDTLS_LIB} ${MBEDX509_LIB} ${MBEDCRYPTO_LIB})

find_program(NANOPB_GENERATOR nanopb_generator.py nanopb_generator REQUIRED)

if(VEXA_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
