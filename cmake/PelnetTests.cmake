# pelnet_add_bare_test_core(<target> <source> [<definitions>...])
# A shared library written directly against the core interface, without the
# runtime, so that a test can count every call across the interface.  The
# definitions select a variant (e.g. one that leaves out an export).
function(pelnet_add_bare_test_core target source)
  add_library(${target} SHARED ${source})
  set_target_properties(${target} PROPERTIES
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/cores/runtime/include)
  target_link_libraries(${target} PRIVATE PkgConfig::GLIB)
  target_compile_definitions(${target} PRIVATE ${ARGN})
endfunction()
