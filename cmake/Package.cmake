# What an installed host is made of, and the Debian package of it (cpack -G DEB; made by
# scripts/package.sh from a Release build configured with CMAKE_INSTALL_PREFIX=/usr).
#   bin/vkthost                    the host program
#   lib/vkthost/                   its libraries and the plug-in, found through RUNPATH
#   share/vkthost/sql/<product>/   the backend table scripts
#   <unit dir>/vkthost.service     the service, on the host directory VKT_SERVICE_DIR
# Tests and benchmarks are not installed.

set(VKT_SERVICE_DIR /var/lib/vkthost CACHE PATH "The host directory of the service")
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(vkt_unit_dir_default /lib/systemd/system)
else()
  set(vkt_unit_dir_default ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
set(VKT_SYSTEMD_UNIT_DIR ${vkt_unit_dir_default} CACHE PATH "Where the service unit is installed")

# The program finds its libraries, and each library the others, wherever the prefix is.
set_target_properties(vkthost PROPERTIES
  INSTALL_RPATH "$ORIGIN/${VKT_PRIVATE_LIBDIR_FROM_BINDIR}")
set(vkt_private_libraries vktbase VKTEXTDB_WINDPOWER vktodbcsetup)
if(TARGET vktbase_widgets)
  list(APPEND vkt_private_libraries vktbase_widgets)
endif()
set_target_properties(${vkt_private_libraries} PROPERTIES INSTALL_RPATH "$ORIGIN")

install(TARGETS vkthost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${vkt_private_libraries} LIBRARY DESTINATION ${VKT_INSTALL_PRIVATE_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/sql/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vkthost/sql
  FILES_MATCHING PATTERN "*.sql")

configure_file(${CMAKE_SOURCE_DIR}/host/vkthost.service.in
  ${CMAKE_BINARY_DIR}/package/vkthost.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/vkthost.service DESTINATION ${VKT_SYSTEMD_UNIT_DIR})

# Maintainer scripts: the service's user and host directory, the service stopped on removal.
set(vkt_maintainer_scripts)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/host/package/${script}.in
    ${CMAKE_BINARY_DIR}/package/${script} @ONLY)
  list(APPEND vkt_maintainer_scripts ${CMAKE_BINARY_DIR}/package/${script})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vkthost)
set(CPACK_PACKAGE_VENDOR "vkthost")
set(CPACK_PACKAGE_CONTACT "vkthost maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Wind-tower acquisition host with its storage plug-in")
set(CPACK_PACKAGE_DESCRIPTION
  "vkthost acquires wind-tower frames (replayed, followed or simulated) and hands them to its storage plug-in, which keeps station files and writes a backend database through ODBC (SQLite or PostgreSQL). Runs as a systemd service on ${VKT_SERVICE_DIR}.")
# The absolute unit folder goes into the package as it is, beside the prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program and the plug-in link (unixODBC, Qt, libsystemd, ...) come
# from dpkg-shlibdeps; the ODBC drivers are loaded by name and are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, unixodbc, libsqliteodbc, odbc-postgresql")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-qpa-plugins, fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${vkt_maintainer_scripts})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
