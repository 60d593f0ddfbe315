# Run by cmake --install (install(SCRIPT)), when the prefix is final: writes
# the systemd user service with the path of the program this install puts in
# place. Given by the install(CODE) before it: DERVIK_SERVICE_TEMPLATE,
# DERVIK_SERVICE_OUTPUT and DERVIK_INSTALL_BINDIR (relative to the prefix,
# or absolute).
if(IS_ABSOLUTE "${DERVIK_INSTALL_BINDIR}")
  set(program "${DERVIK_INSTALL_BINDIR}/dervik")
else()
  set(program "${CMAKE_INSTALL_PREFIX}/${DERVIK_INSTALL_BINDIR}/dervik")
endif()
cmake_path(NORMAL_PATH program)

# As a word of ExecStart: a % would start a specifier, and blanks, quotes and
# backslashes need the path in double quotes with the last two escaped.
string(REPLACE "%" "%%" DERVIK_EXEC_PATH "${program}")
if(DERVIK_EXEC_PATH MATCHES "[ \t\"\\\\]")
  string(REPLACE "\\" "\\\\" DERVIK_EXEC_PATH "${DERVIK_EXEC_PATH}")
  string(REPLACE "\"" "\\\"" DERVIK_EXEC_PATH "${DERVIK_EXEC_PATH}")
  set(DERVIK_EXEC_PATH "\"${DERVIK_EXEC_PATH}\"")
endif()
configure_file("${DERVIK_SERVICE_TEMPLATE}" "${DERVIK_SERVICE_OUTPUT}" @ONLY)
