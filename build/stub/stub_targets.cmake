# The launcher stub: the launcher linked with a payload section that holds
# this build's default configuration and no block. The onefile tool embeds it
# and grows its payload section when it attaches a payload. Included by the
# stub's own project (build/stub/CMakeLists.txt) and, for the sanitizer build,
# which cannot link statically, by the main build.
#
# With ONEFILE_STUB_TEST_HOOKS, a stub for the tests only: onefile-stub-hooks,
# the decoder stub with the calls that the tests fail or interrupt wrapped
# (-Wl,--wrap) by tests/hooks. The shipped stubs have no hooks.
set(stub_dir ${ONEFILE_SOURCE_DIR}/build/stub)
configure_file(${stub_dir}/payload_section.S.in ${CMAKE_CURRENT_BINARY_DIR}/payload_section.S @ONLY)
set(payload_section_script ${stub_dir}/payload_section.ld)

# onefile_add_stub_executable(NAME DECODER [SOURCES...]): DECODER is the
# library that decodes compressed entries, or the one that refuses them.
function(onefile_add_stub_executable name decoder)
  add_executable(${name}
    ${ONEFILE_SOURCE_DIR}/launcher/main.cpp
    ${ONEFILE_SOURCE_DIR}/launcher/explain_exec_failure.cpp
    ${ONEFILE_SOURCE_DIR}/runtime/launcher_section.cpp
    ${ONEFILE_SOURCE_DIR}/runtime/launcher_file.cpp
    ${CMAKE_CURRENT_BINARY_DIR}/payload_section.S
    ${ARGN})
  target_link_libraries(${name} PRIVATE
    onefile_reused_tree onefile_payload ${decoder} onefile_templates onefile_supervision onefile_program_path
    onefile_launcher_core onefile_launcher_flags)
  target_link_options(${name} PRIVATE -Wl,-T,${payload_section_script})
  set_target_properties(${name} PROPERTIES
    LINK_DEPENDS ${payload_section_script}
    RUNTIME_OUTPUT_DIRECTORY ${ONEFILE_STUB_OUTPUT_DIR})
endfunction()

# The plain stub, and the decoder stub that compressed launchers are made
# from, so that stored launchers stay small.
onefile_add_stub_executable(onefile-stub onefile_no_entry_decoder)
onefile_add_stub_executable(onefile-stub-zstd onefile_entry_decoder)

option(ONEFILE_STUB_TEST_HOOKS "Also build the test stub with hooks" OFF)
if(ONEFILE_STUB_TEST_HOOKS)
  # Sets onefile_hook_sources and onefile_hooked_calls.
  include(${ONEFILE_SOURCE_DIR}/tests/hooks/hooks.cmake)
  onefile_add_stub_executable(onefile-stub-hooks onefile_entry_decoder ${onefile_hook_sources})
  foreach(call IN LISTS onefile_hooked_calls)
    target_link_options(onefile-stub-hooks PRIVATE -Wl,--wrap=${call})
  endforeach()
endif()
