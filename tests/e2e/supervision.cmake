# Tests of child supervision, termination signals and the removal walk:
# launchers started in the background, real signals from other processes and
# from a pseudo-terminal, and a preloaded shim that raises a signal inside a
# chosen library call of the launcher.

# Preloaded before everything else, so it must not carry the sanitizer
# runtime; it only forwards to the definitions that follow it.
add_library(onefile_e2e_signal_shim SHARED signal_shim.c)
target_compile_options(onefile_e2e_signal_shim PRIVATE -fno-sanitize=all)
target_link_options(onefile_e2e_signal_shim PRIVATE -fno-sanitize=all)
target_link_libraries(onefile_e2e_signal_shim PRIVATE ${CMAKE_DL_LIBS})
set_target_properties(onefile_e2e_signal_shim PROPERTIES
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})

add_executable(e2e_supervision_tests
  supervision_support.cpp
  supervision_mask_test.cpp
  signal_forwarding_test.cpp
  signal_grace_test.cpp
  signal_phase_test.cpp
  signal_storm_test.cpp
  removal_walk_test.cpp)
target_link_libraries(e2e_supervision_tests PRIVATE onefile_e2e_fixture GTest::gtest_main)
target_compile_definitions(e2e_supervision_tests PRIVATE
  ONEFILE_SIGNAL_SHIM_PATH="$<TARGET_FILE:onefile_e2e_signal_shim>")
add_dependencies(e2e_supervision_tests onefile_e2e_signal_shim)
# The grace-period tests take about five seconds each and the storm a few
# more; every test is its own CTest case, so they run in parallel.
gtest_discover_tests(e2e_supervision_tests
  NO_PRETTY_VALUES
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 90)
