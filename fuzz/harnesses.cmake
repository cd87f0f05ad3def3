# The fuzz harnesses and what each links. Included by fuzz/CMakeLists.txt,
# which builds them with libFuzzer, and by tests/hardening, which builds the
# same harnesses with a plain driver that replays the seed corpus and every
# recorded crash as a regular test.
#
# onefile_add_fuzz_harness(TARGET HARNESS DRIVER...) creates executable TARGET
# from harness HARNESS (template_expansion, tool_list or extraction) plus the
# DRIVER sources (none for libFuzzer, which brings its own main).

set(onefile_fuzz_dir ${CMAKE_CURRENT_LIST_DIR})
set(onefile_fuzz_support_dir ${CMAKE_SOURCE_DIR}/tests/support)

function(onefile_add_fuzz_harness target harness)
  set(driver_sources ${ARGN})
  if(harness STREQUAL "template_expansion")
    # The harness brings its own stopOnBrokenLimit, so the archive's member
    # that exits is never linked; exit itself is wrapped to catch the stop
    # for a malformed TAVMIR_ONEFILE_PARENT, which calls exit directly.
    add_executable(${target}
      ${onefile_fuzz_dir}/fuzz_template_expansion.cpp
      ${onefile_fuzz_dir}/template_model.cpp
      ${onefile_fuzz_support_dir}/fake_launcher_section.cpp
      ${onefile_fuzz_support_dir}/fake_program_path.cpp
      ${driver_sources})
    target_link_libraries(${target} PRIVATE onefile_templates onefile_launcher_core)
    target_link_options(${target} PRIVATE -Wl,--wrap=exit)
  elseif(harness STREQUAL "tool_list")
    add_executable(${target} ${onefile_fuzz_dir}/fuzz_tool_list.cpp ${driver_sources})
    target_link_libraries(${target} PRIVATE onefile_tool_core)
  elseif(harness STREQUAL "extraction")
    add_executable(${target}
      ${onefile_fuzz_dir}/fuzz_extraction.cpp
      ${onefile_fuzz_dir}/coverage_counters.cpp
      ${driver_sources})
    target_link_libraries(${target} PRIVATE onefile_payload onefile_entry_decoder onefile_launcher_core)
  else()
    message(FATAL_ERROR "unknown fuzz harness ${harness}")
  endif()
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
endfunction()

set(onefile_fuzz_harnesses template_expansion tool_list extraction)
