# Where `cmake --install` puts things, and the Debian package (CPack).
#
# With the prefix /usr (the package's), every file lands where the system
# looks for it: the module in p11-kit's module directory and its
# registration in p11-kit's module-config directory, so that
# `p11-kit list-modules` and p11-kit's proxy find it; the unit, udev rule
# and sysusers entry in systemd's and udev's directories under /usr/lib.
# Any other prefix gets the same layout below it, and the unit and the
# registration name the installed files by their full paths.
include(GNUInstallDirs)

find_package(PkgConfig REQUIRED)
pkg_get_variable(VEXA_SYSTEM_P11_MODULE_PATH p11-kit-1 p11_module_path)
pkg_get_variable(VEXA_SYSTEM_P11_MODULE_CONFIGS p11-kit-1 p11_module_configs)

# A system directory under /usr as a path relative to the prefix; `fallback`
# when pkg-config does not know it.
function(vexa_prefix_relative out system fallback)
  if(system MATCHES "^/usr/(.+)$")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  else()
    set(${out} "${fallback}" PARENT_SCOPE)
  endif()
endfunction()

vexa_prefix_relative(vexa_p11_module_default "${VEXA_SYSTEM_P11_MODULE_PATH}"
  "${CMAKE_INSTALL_LIBDIR}/pkcs11")
vexa_prefix_relative(vexa_p11_config_default "${VEXA_SYSTEM_P11_MODULE_CONFIGS}"
  "share/p11-kit/modules")
set(VEXA_INSTALL_P11_MODULE_DIR "${vexa_p11_module_default}" CACHE STRING
  "Directory of the PKCS#11 module, relative to the prefix")
set(VEXA_INSTALL_P11_CONFIG_DIR "${vexa_p11_config_default}" CACHE STRING
  "Directory of the p11-kit module registration, relative to the prefix")
set(VEXA_INSTALL_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Directory of the systemd unit, relative to the prefix")
set(VEXA_INSTALL_UDEV_DIR "lib/udev/rules.d" CACHE STRING
  "Directory of the udev rule, relative to the prefix")
set(VEXA_INSTALL_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING
  "Directory of the sysusers.d entry, relative to the prefix")
set(VEXA_INSTALL_EXAMPLES_DIR "${CMAKE_INSTALL_DOCDIR}/examples")

# The package installs under /usr whatever the build's own prefix is.
set(VEXA_PACKAGE_PREFIX "/usr")

install(TARGETS vexa-daemon vexa-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS vexa-pkcs11 LIBRARY DESTINATION ${VEXA_INSTALL_P11_MODULE_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-vexa.rules
  DESTINATION ${VEXA_INSTALL_UDEV_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/vexa.sysusers
  DESTINATION ${VEXA_INSTALL_SYSUSERS_DIR} RENAME vexa.conf)
install(FILES
  ${PROJECT_SOURCE_DIR}/packaging/examples/vexa-daemon.json
  ${PROJECT_SOURCE_DIR}/packaging/examples/vexaconfig.json
  DESTINATION ${VEXA_INSTALL_EXAMPLES_DIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The unit and the registration as installed: the prefix is known only when
# installing (`cmake --install --prefix` may change it), so they are written
# then. Under /usr they are the files of packaging/ unchanged.
set(vexa_install_code [[
  set(vexa_source "@PROJECT_SOURCE_DIR@/packaging")
  # A directory of this install's own: installs may run side by side.
  string(RANDOM LENGTH 16 vexa_tag)
  set(vexa_stage "@PROJECT_BINARY_DIR@/packaging/install-${vexa_tag}")
  set(vexa_prefix "${CMAKE_INSTALL_PREFIX}")
  file(READ "${vexa_source}/vexa-daemon.service" vexa_unit)
  file(READ "${vexa_source}/vexa.module" vexa_registration)
  # Elsewhere than /usr, p11-kit would not find the module by its name.
  if(NOT vexa_prefix STREQUAL "/usr")
    string(REPLACE "\"/usr/bin/vexa-daemon\"" "\"${vexa_prefix}/@CMAKE_INSTALL_BINDIR@/vexa-daemon\""
      vexa_unit "${vexa_unit}")
    string(REPLACE "module: libvexa-pkcs11.so"
      "module: ${vexa_prefix}/@VEXA_INSTALL_P11_MODULE_DIR@/libvexa-pkcs11.so"
      vexa_registration "${vexa_registration}")
  endif()
  file(WRITE "${vexa_stage}/vexa-daemon.service" "${vexa_unit}")
  file(WRITE "${vexa_stage}/vexa.module" "${vexa_registration}")
  file(INSTALL "${vexa_stage}/vexa-daemon.service"
    DESTINATION "${CMAKE_INSTALL_PREFIX}/@VEXA_INSTALL_UNIT_DIR@")
  file(INSTALL "${vexa_stage}/vexa.module"
    DESTINATION "${CMAKE_INSTALL_PREFIX}/@VEXA_INSTALL_P11_CONFIG_DIR@")
  file(REMOVE_RECURSE "${vexa_stage}")
]])
string(CONFIGURE "${vexa_install_code}" vexa_install_code @ONLY)
install(CODE "${vexa_install_code}")

# ---- Debian package: cpack -G DEB --config <build>/CPackConfig.cmake ----
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "vexa")
set(CPACK_PACKAGE_VENDOR "Talvoranth")
set(CPACK_PACKAGE_CONTACT "Vexa host software maintainers <vexa@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Vexa USB HSM host software: PKCS#11 module, network daemon and virtual device")
set(CPACK_PACKAGE_DESCRIPTION
  "libvexa-pkcs11.so (a PKCS#11 2.40 module registered with p11-kit), vexa-daemon (relays TLS clients to a Vexa device over USB HID; systemd service) and vexa-sim (a virtual Vexa device).")
set(CPACK_PACKAGING_INSTALL_PREFIX "${VEXA_PACKAGE_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "p11-kit-modules")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
