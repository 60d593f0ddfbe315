# The Debian package of Dervik, made by CPack's DEB generator
# (scripts/package.sh runs it): what the package is called and says of
# itself, its version, and where its files go.
#
# The version is the project's (project(... VERSION) in the top-level
# CMakeLists.txt) as `dervik --version` shows it: major.minor.release. The
# manual page, the AppStream release and the changelog take it from here.
set(DERVIK_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}")
# The day this version was released, for the manual page, the AppStream
# release and the changelog; move it on with the version.
set(DERVIK_RELEASE_DATE "2026-12-11")
set(DERVIK_MAINTAINER "Pelorin maintainers <maintainers@users.noreply.c-seed-086b8d57.example>")
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C date -u -R -d "${DERVIK_RELEASE_DATE} 12:00:00"
  OUTPUT_VARIABLE DERVIK_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME dervik)
set(CPACK_PACKAGE_VERSION "${DERVIK_VERSION}")
set(CPACK_PACKAGE_VENDOR "Pelorin")
set(CPACK_PACKAGE_CONTACT "${DERVIK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${DERVIK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "connection check of the network devices on a list")
# The extended description, below the summary.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Dervik reads a list of network devices from a settings file, pings every
device a set number of times and shows each device's name, address, status
and round trip in one window. It passes the outcome on as an e-mail and as
syslog messages, and keeps every run in a history.
.
Started with a switch it runs unattended, also without a display: it checks,
sends the chosen reports and ends with an exit status that tells what
happened. A systemd user timer for weekday runs comes with it.")
# dervik_<version>_<architecture>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The run-time dependencies: dpkg-shlibdeps reads them from the libraries
# the program links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Help > Read me opens the read-me with the desktop's viewer (xdg-open).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# What app/ and dist/ install, and nothing else; CPack builds first only
# what those two folders build (the program), not the tests of the build.
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${PROJECT_BINARY_DIR}/app;dervik;ALL;/"
  "${PROJECT_BINARY_DIR}/dist;dervik-dist;ALL;/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
# A package puts the systemd user units where packages put them,
# /usr/lib/systemd/user; cmake --install keeps share/systemd/user.
# The network cores travel inside the program and are loaded at run time,
# so dpkg-shlibdeps does not see the libraries they link (GnuTLS and Nettle
# for the mail report); cmake/PackageStaging.cmake reads their dependencies
# from the cores themselves, listed here.
set(CPACK_DERVIK_EMBEDDED_CORES "${PROJECT_BINARY_DIR}/dervik-embedded-cores.txt")
set(dervik_core_files "")
foreach(core IN LISTS PELORIN_PROGRAM_CORES)
  string(APPEND dervik_core_files "$<TARGET_FILE:${core}>\n")
endforeach()
file(GENERATE OUTPUT "${CPACK_DERVIK_EMBEDDED_CORES}" CONTENT "${dervik_core_files}")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/PackageStaging.cmake")
include(CPack)
