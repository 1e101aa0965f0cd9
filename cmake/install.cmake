# install.cmake - `cmake --install <build> --prefix <dir>` lays the system out
# the way a policy server installation holds it:
#
#   bin/                kelpasswd, kelaudit, smhost (the pre-deploy check, and
#                       the simulated policy server)
#   lib/                libsmauthkel.so, libsmeventkel.so and the relocatable
#                       objects agent.o, audit.o, smeventkel.o
#   lib/standins/       the stand-ins libsmagentapi.so and libclntsh.so
#   include/            smapi.h and the stand-ins' headers
#   share/kel/sql/      the audit table's DDL for Oracle, PostgreSQL, SQLite,
#                       and the GRANT scripts of its users
#   share/kel/config/   commented samples of keltrace.conf and kelaudit.conf,
#                       and a ready kelaudit.conf per database in sqlite/,
#                       postgresql/, oracle/
#   share/kel/          users.sample, a user file for `smhost demo --users`
#   share/kel/logrotate/ kel, a logrotate(8) recipe for the trace log, to copy
#                       into /etc/logrotate.d
#   share/man/man1/     kelpasswd.1, kelaudit.1, smhost.1
#   share/man/man5/     keltrace.conf.5, kelaudit.conf.5
#   share/man/man8/     libsmauthkel.8, libsmeventkel.8
#   share/doc/kel/      the administrator documentation, with the samples and
#                       the manual pages its pages link to
#
# The folder names are fixed (not GNUInstallDirs): smhost finds the plug-ins
# in <prefix>/lib and the DDL in <prefix>/share/kel/sql from its own path.
#
# The plug-ins load libsmagentapi.so and libclntsh.so with dlopen, first
# from their own folder, then from the loader's search path; they carry no
# run path. The stand-ins therefore live in a folder of their own: beside
# the plug-ins they would be found before a real library on the loader's
# path. smhost links neither: its check runs on a policy server host and
# finds the libraries exactly as the plug-ins do; its demo and load open
# the stand-ins from lib/standins at run time, and the plug-ins' dlopen by
# name then finds them already loaded. kelpasswd and kelaudit carry
# $ORIGIN/../lib. So an installed tree runs from wherever it is copied,
# without LD_LIBRARY_PATH and without a trace of the build folder.
#
# Components, one Debian package each (`cpack -G DEB` in the build folder,
# see cmake/package.cmake): "plugins" (the plug-ins, their objects,
# kelpasswd, kelaudit, smhost, smapi.h, DDL, samples, logrotate recipe,
# manual pages and documentation) and "standins" (the stand-ins and their
# headers, which smhost demo and load need).
#
# Built against the real platform (KEL_ORACLE_HOME, KEL_AGENTAPI_INCLUDE),
# the corresponding stand-in and its header are not installed (the vendor's
# library is used); smhost is, for its check.

set(KEL_INSTALL_SHARE share/kel)

set(kel_real_oracle OFF)
if(KEL_ORACLE_HOME)
  set(kel_real_oracle ON)
endif()
set(kel_real_agentapi OFF)
if(KEL_AGENTAPI_INCLUDE)
  set(kel_real_agentapi ON)
endif()

# ---- plug-ins, stand-ins, relocatable objects ----------------------------

set(KEL_INSTALL_STANDINS lib/standins)

install(TARGETS smauthkel smeventkel LIBRARY DESTINATION lib COMPONENT plugins)
install(FILES
  ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/agent.o
  ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/audit.o
  ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/smeventkel.o
  DESTINATION lib COMPONENT plugins)

install(FILES ${PROJECT_SOURCE_DIR}/platform/smapi/smapi.h DESTINATION include COMPONENT plugins)
if(NOT kel_real_agentapi)
  install(TARGETS smagentapi LIBRARY DESTINATION ${KEL_INSTALL_STANDINS} COMPONENT standins)
  install(FILES
    ${PROJECT_SOURCE_DIR}/standins/agentapi/smagentapi.h
    ${PROJECT_SOURCE_DIR}/standins/agentapi/smagent_control.h
    DESTINATION include COMPONENT standins)
endif()
if(NOT kel_real_oracle)
  install(TARGETS clntsh LIBRARY DESTINATION ${KEL_INSTALL_STANDINS} COMPONENT standins)
  install(FILES
    ${PROJECT_SOURCE_DIR}/standins/oci/oci.h
    ${PROJECT_SOURCE_DIR}/standins/oci/oci_standin.h
    DESTINATION include COMPONENT standins)
endif()

# ---- programs ------------------------------------------------------------

set_target_properties(kelpasswd kelaudit PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
install(TARGETS kelpasswd kelaudit smhost RUNTIME DESTINATION bin COMPONENT plugins)
install(FILES ${PROJECT_SOURCE_DIR}/host/users.sample DESTINATION ${KEL_INSTALL_SHARE} COMPONENT plugins)

# ---- data, samples, documentation ----------------------------------------

install(DIRECTORY ${PROJECT_SOURCE_DIR}/sql/ DESTINATION ${KEL_INSTALL_SHARE}/sql
  COMPONENT plugins FILES_MATCHING PATTERN "*.sql")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/samples/ DESTINATION ${KEL_INSTALL_SHARE}/config
  COMPONENT plugins FILES_MATCHING PATTERN "*.conf")
install(FILES ${PROJECT_SOURCE_DIR}/docs/samples/logrotate/kel DESTINATION ${KEL_INSTALL_SHARE}/logrotate
  COMPONENT plugins)
install(FILES ${PROJECT_SOURCE_DIR}/docs/kelpasswd.1 ${PROJECT_SOURCE_DIR}/docs/kelaudit.1
  ${PROJECT_SOURCE_DIR}/docs/smhost.1 DESTINATION share/man/man1 COMPONENT plugins)
install(FILES ${PROJECT_SOURCE_DIR}/docs/keltrace.conf.5 ${PROJECT_SOURCE_DIR}/docs/kelaudit.conf.5
  DESTINATION share/man/man5 COMPONENT plugins)
install(FILES ${PROJECT_SOURCE_DIR}/docs/libsmauthkel.8 ${PROJECT_SOURCE_DIR}/docs/libsmeventkel.8
  DESTINATION share/man/man8 COMPONENT plugins)
# The pages link to the samples and the manual pages beside them.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/kel COMPONENT plugins
  FILES_MATCHING PATTERN "*.md" PATTERN "*.conf" PATTERN "*.[158]")
# What Debian asks of a package's documentation folder, one per package.
install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright ${PROJECT_SOURCE_DIR}/debian/changelog
  DESTINATION share/doc/kel COMPONENT plugins)
if(NOT kel_real_oracle OR NOT kel_real_agentapi)
  install(FILES ${PROJECT_SOURCE_DIR}/debian/copyright ${PROJECT_SOURCE_DIR}/debian/changelog
    DESTINATION share/doc/kel-standins COMPONENT standins)
endif()
