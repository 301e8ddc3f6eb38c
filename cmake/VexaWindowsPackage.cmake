# What `cmake --install` and CPack put into the Windows package: the daemon,
# the module DLL, the example configurations and the README, in one folder
# (a zip, or an installer when NSIS is there).
install(TARGETS vexa-daemon RUNTIME DESTINATION .)
install(TARGETS vexa-pkcs11 RUNTIME DESTINATION . LIBRARY DESTINATION .)
# Examples with Windows paths: certificate files named relative to the
# daemon's directory.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/examples/windows/vexa-daemon.json
  ${PROJECT_SOURCE_DIR}/packaging/examples/windows/vexaconfig.json DESTINATION examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)

set(CPACK_PACKAGE_NAME "vexa")
set(CPACK_PACKAGE_VENDOR "Talvoranth")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vexa host software: PKCS#11 module and network daemon")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME "windows-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "Vexa")
set(CPACK_GENERATOR ZIP)
# The debugging information stays in the build directory.
set(CPACK_STRIP_FILES ON)
include(CPack)
