# package.cmake - Debian packages of the installation, one per install
# component (cmake/install.cmake):
#
#   kel-plugins    what a policy server host needs: the plug-ins, their
#                  objects, kelpasswd, kelaudit, smhost (for its check),
#                  smapi.h, the DDL, the samples, the logrotate recipe, the
#                  manual pages and the docs
#   kel-standins   the Agent API and Oracle client stand-ins with their
#                  headers, for smhost demo and load (needs kel-plugins)
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
# The Debian revision: raise it for a package change of the same version.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_PACKAGE_CONTACT "kel maintainers <kel@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/kel)
set(CPACK_SET_DESTDIR OFF)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})

set(CPACK_COMPONENTS_ALL plugins)
if(NOT KEL_ORACLE_HOME OR NOT KEL_AGENTAPI_INCLUDE)
  list(APPEND CPACK_COMPONENTS_ALL standins)
endif()

# The first line of each description is the package's summary.
set(CPACK_DEBIAN_PLUGINS_PACKAGE_NAME kel-plugins)
set(CPACK_DEBIAN_PLUGINS_DESCRIPTION
  "Step-up authentication scheme and login audit handler for a policy server
libsmauthkel and libsmeventkel, the plug-ins a policy server host needs,
with kelpasswd, kelaudit, the pre-deploy check smhost check, the audit
table definitions, configuration samples, a logrotate recipe and the
documentation.")
set(CPACK_DEBIAN_STANDINS_PACKAGE_NAME kel-standins)
set(CPACK_DEBIAN_STANDINS_DESCRIPTION
  "Stand-ins of the Agent API and the Oracle client for trying kel out
Libraries that take the place of the policy server's Agent API and of the
Oracle client (over SQLite and PostgreSQL), for smhost demo and smhost
load on a host without the policy server. Never install on a policy
server host.")
set(CPACK_DEBIAN_STANDINS_PACKAGE_DEPENDS
  "kel-plugins (= ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})")

include(CPack)
