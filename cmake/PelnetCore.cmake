# pelnet_add_core(<target> <OUTPUT_NAME> <sources>...)
# Builds one network core as a shared library that exports only the ten
# functions of the core interface (pelnet_core_exports.map).  The runtime is
# linked in statically and not re-exported, so each loaded core keeps its own
# copy of the runtime's state.  Every core is recorded for the exports test
# (pelnet_add_core_exports_test).
set(PELNET_CORE_EXPORTS_MAP ${CMAKE_CURRENT_LIST_DIR}/pelnet_core_exports.map)

function(pelnet_add_core target output_name)
  add_library(${target} SHARED ${ARGN})
  set_target_properties(${target} PROPERTIES
    OUTPUT_NAME ${output_name}
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/cores)
  target_compile_definitions(${target} PRIVATE PELNET_BUILDING_CORE)
  target_link_libraries(${target} PRIVATE pelnet_runtime)
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined
    -Wl,--version-script=${PELNET_CORE_EXPORTS_MAP})
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PELNET_CORE_EXPORTS_MAP})
  set_property(GLOBAL APPEND PROPERTY PELNET_CORE_TARGETS ${target})
endfunction()

# pelnet_add_core_exports_test(<test name> <checker target>)
# Registers, once the whole tree has been read, a test that runs <checker>
# with the file of every core built with pelnet_add_core as arguments.
function(pelnet_add_core_exports_test name checker)
  cmake_language(EVAL CODE "
    cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]]
      CALL _pelnet_core_exports_test [[${name}]] [[${checker}]])")
endfunction()

function(_pelnet_core_exports_test name checker)
  get_property(cores GLOBAL PROPERTY PELNET_CORE_TARGETS)
  set(files "")
  foreach(core IN LISTS cores)
    list(APPEND files "$<TARGET_FILE:${core}>")
  endforeach()
  add_test(NAME ${name} COMMAND ${checker} ${files})
  set_tests_properties(${name} PROPERTIES TIMEOUT 30)
endfunction()
