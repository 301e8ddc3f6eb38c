# The project's external libraries, all from Debian 12 packages installed by
# scripts/setup.sh. Nothing is downloaded at build time.
#
# The Windows build (cmake/toolchains/mingw-w64.cmake) takes the same
# libraries built for Windows by scripts/windows-deps.sh from Debian's
# sources, found under VEXA_WINDOWS_DEPS, under the same target names.
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(nanopb REQUIRED)
if(WIN32)
  find_path(HIDAPI_INCLUDE_DIR hidapi/hidapi.h REQUIRED)
  find_library(HIDAPI_LIB hidapi REQUIRED)
  add_library(PkgConfig::HIDAPI INTERFACE IMPORTED)
  set_target_properties(PkgConfig::HIDAPI PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${HIDAPI_INCLUDE_DIR};${HIDAPI_INCLUDE_DIR}/hidapi"
    INTERFACE_LINK_LIBRARIES "${HIDAPI_LIB};setupapi")
  # The same PKCS#11 header: on Windows it packs its structures to one
  # byte, the standard's Windows ABI.
  find_path(P11KIT_INCLUDE_DIR p11-kit/pkcs11.h REQUIRED)
  add_library(PkgConfig::P11KIT INTERFACE IMPORTED)
  set_target_properties(PkgConfig::P11KIT PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
    ${P11KIT_INCLUDE_DIR})
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(HIDAPI REQUIRED IMPORTED_TARGET hidapi-hidraw)
  pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  pkg_check_modules(P11KIT REQUIRED IMPORTED_TARGET p11-kit-1)
endif()

# mbedTLS 2.28 ships no CMake or pkg-config files on Debian 12.
find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h REQUIRED)
find_library(MBEDTLS_LIB mbedtls REQUIRED)
find_library(MBEDX509_LIB mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIB mbedcrypto REQUIRED)
add_library(vexa_mbedtls INTERFACE)
target_include_directories(vexa_mbedtls SYSTEM INTERFACE ${MBEDTLS_INCLUDE_DIR})
target_link_libraries(vexa_mbedtls INTERFACE ${MBEDTLS_LIB} ${MBEDX509_LIB} ${MBEDCRYPTO_LIB})
if(WIN32)
  # Winsock and the system's random source.
  target_link_libraries(vexa_mbedtls INTERFACE ws2_32 bcrypt)
endif()

# The generator runs on the build machine, for Windows builds too.
find_program(NANOPB_GENERATOR nanopb_generator.py nanopb_generator REQUIRED)

if(VEXA_BUILD_TESTS)
  find_package(GTest REQUIRED)
endif()
