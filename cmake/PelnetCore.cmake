# pelnet_add_core(<target> <OUTPUT_NAME> <sources>...)
# Builds one network core as a shared library that exports only the ten
# functions of the core interface.  The runtime is linked in statically and
# not re-exported, so each loaded core keeps its own copy of the runtime's state.
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
  target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL -Wl,--no-undefined)
endfunction()
