# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) after it has installed into its
# staging folder and before it makes the package:
#  - moves the systemd user units from share/systemd/user, where
#    cmake --install puts them, to lib/systemd/user, where a package puts
#    them;
#  - adds to the package's dependencies those of the network cores that
#    travel inside the program (CPACK_DERVIK_EMBEDDED_CORES lists them):
#    dpkg-shlibdeps reads the program's own from the staged files.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(from "${root}/share/systemd/user")
set(to "${root}/lib/systemd/user")
if(NOT IS_DIRECTORY "${from}")
  message(FATAL_ERROR "no systemd user units in ${from}")
endif()
file(MAKE_DIRECTORY "${root}/lib/systemd")
file(RENAME "${from}" "${to}")
file(GLOB left "${root}/share/systemd/*")
if(NOT left)
  file(REMOVE_RECURSE "${root}/share/systemd")
endif()

file(STRINGS "${CPACK_DERVIK_EMBEDDED_CORES}" cores)
if(NOT cores)
  message(FATAL_ERROR "no embedded cores listed in ${CPACK_DERVIK_EMBEDDED_CORES}")
endif()
# dpkg-shlibdeps wants to run in a source package's folder. It reads the
# dependencies of the staged program with the cores, and of the program
# alone (as CPack does next); the package gets from here those of the first
# list that the second lacks, so that none is named twice.
set(work "${CPACK_TOPLEVEL_DIRECTORY}/dervik-core-depends")
file(REMOVE_RECURSE "${work}")
file(MAKE_DIRECTORY "${work}/debian")
file(WRITE "${work}/debian/control" "Source: dervik\n\nPackage: dervik\nArchitecture: any\n")
function(shlib_depends out)
  execute_process(COMMAND dpkg-shlibdeps -O ${ARGN} WORKING_DIRECTORY "${work}"
    OUTPUT_VARIABLE text ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT text MATCHES "shlibs:Depends=([^\n]*)")
    message(FATAL_ERROR "dpkg-shlibdeps ${ARGN} failed: ${err}")
  endif()
  string(REPLACE ", " ";" list "${CMAKE_MATCH_1}")
  set(${out} "${list}" PARENT_SCOPE)
endfunction()
set(program "${root}/bin/dervik")
shlib_depends(with_cores "${program}" ${cores})
shlib_depends(program_only "${program}")
set(added "")
foreach(entry IN LISTS with_cores)
  list(FIND program_only "${entry}" found)
  if(found EQUAL -1)
    list(APPEND added "${entry}")
  endif()
endforeach()
if(added)
  list(JOIN added ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
  message(STATUS "the embedded cores add: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()
