# install.cmake - `cmake --install <build> --prefix <dir>` lays the system out
# the way a policy server installation holds it:
#
#   bin/                kelpasswd, kelaudit, smhost (the simulated policy server)
#   lib/                libsmauthkel.so, libsmeventkel.so, the stand-ins
#                       libsmagentapi.so and libclntsh.so beside them, and the
#                       relocatable objects agent.o, audit.o, smeventkel.o
#   include/            smapi.h and the stand-ins' headers
#   share/kel/sql/      the audit table's DDL for Oracle, PostgreSQL, SQLite
#   share/kel/config/   commented samples of keltrace.conf and kelaudit.conf
#   share/kel/          users.sample, a user file for `smhost demo --users`
#   share/man/man1/     kelpasswd.1, kelaudit.1
#   share/doc/kel/      the administrator documentation
#
# The folder names are fixed (not GNUInstallDirs): smhost finds the plug-ins
# in <prefix>/lib and the DDL in <prefix>/share/kel/sql from its own path,
# and the plug-ins load the stand-ins from their own folder.
#
# Programs carry the run path $ORIGIN/../lib and nothing else, so an
# installed tree runs from wherever it is copied, without LD_LIBRARY_PATH and
# without a trace of the build folder. The plug-ins need no run path: they
# load libsmagentapi.so and libclntsh.so with dlopen, first from their own
# folder, then from the loader's search path.
#
# Built against the real platform (KEL_ORACLE_HOME, KEL_AGENTAPI_INCLUDE),
# the corresponding stand-in and its header are not installed (the vendor's
# library is used), and neither is smhost, which needs both stand-ins.

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

install(TARGETS smauthkel smeventkel LIBRARY DESTINATION lib)
install(FILES
  ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/agent.o
  ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/audit.o
  ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/smeventkel.o
  DESTINATION lib)

install(FILES ${PROJECT_SOURCE_DIR}/platform/smapi/smapi.h DESTINATION include)
if(NOT kel_real_agentapi)
  install(TARGETS smagentapi LIBRARY DESTINATION lib)
  install(FILES
    ${PROJECT_SOURCE_DIR}/standins/agentapi/smagentapi.h
    ${PROJECT_SOURCE_DIR}/standins/agentapi/smagent_control.h
    DESTINATION include)
endif()
if(NOT kel_real_oracle)
  install(TARGETS clntsh LIBRARY DESTINATION lib)
  install(FILES
    ${PROJECT_SOURCE_DIR}/standins/oci/oci.h
    ${PROJECT_SOURCE_DIR}/standins/oci/oci_standin.h
    DESTINATION include)
endif()

# ---- programs ------------------------------------------------------------

set_target_properties(kelpasswd kelaudit PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
install(TARGETS kelpasswd kelaudit RUNTIME DESTINATION bin)
if(TARGET smhost AND NOT kel_real_oracle AND NOT kel_real_agentapi)
  set_target_properties(smhost PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
  install(TARGETS smhost RUNTIME DESTINATION bin)
  install(FILES ${PROJECT_SOURCE_DIR}/host/users.sample DESTINATION ${KEL_INSTALL_SHARE})
endif()

# ---- data, samples, documentation ----------------------------------------

install(DIRECTORY ${PROJECT_SOURCE_DIR}/sql/ DESTINATION ${KEL_INSTALL_SHARE}/sql
  FILES_MATCHING PATTERN "*.sql")
install(FILES
  ${PROJECT_SOURCE_DIR}/docs/samples/keltrace.conf
  ${PROJECT_SOURCE_DIR}/docs/samples/kelaudit.conf
  DESTINATION ${KEL_INSTALL_SHARE}/config)
install(FILES ${PROJECT_SOURCE_DIR}/docs/kelpasswd.1 ${PROJECT_SOURCE_DIR}/docs/kelaudit.1
  DESTINATION share/man/man1)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION share/doc/kel
  FILES_MATCHING PATTERN "*.md" PATTERN "samples" EXCLUDE)
