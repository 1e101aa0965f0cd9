# package.cmake - Debian packages of the installation, one per install
# component (cmake/install.cmake):
#
#   kel-plugins    the plug-ins, their objects, kelpasswd, smapi.h, the DDL,
#                  the configuration samples, the manual page and the docs
#   kel-standins   the Agent API and Oracle client stand-ins with their
#                  headers, and smhost (needs kel-plugins: it loads them)
#
# Both install under /opt/kel. Build them in the build folder with
#
#   cpack -G DEB            (or: cpack --config CPackConfig.cmake -B <dir>)
#
# Dependencies on system libraries come from dpkg-shlibdeps; the stand-ins
# smhost links are found in the build's library folder.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kel maintainers <kel@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Step-up authentication scheme and login audit handler for a policy server")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/kel)
set(CPACK_SET_DESTDIR OFF)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(CPACK_COMPONENTS_ALL plugins)
if(TARGET smhost AND NOT KEL_ORACLE_HOME AND NOT KEL_AGENTAPI_INCLUDE)
  list(APPEND CPACK_COMPONENTS_ALL standins)
endif()

set(CPACK_DEBIAN_PLUGINS_PACKAGE_NAME kel-plugins)
set(CPACK_COMPONENT_PLUGINS_DESCRIPTION
  "libsmauthkel and libsmeventkel, kelpasswd, table definitions and documentation")
set(CPACK_DEBIAN_STANDINS_PACKAGE_NAME kel-standins)
set(CPACK_COMPONENT_STANDINS_DESCRIPTION
  "Stand-ins for the Agent API and the Oracle client, and the simulated policy server smhost")
set(CPACK_DEBIAN_STANDINS_PACKAGE_DEPENDS "kel-plugins (= ${PROJECT_VERSION})")

include(CPack)
