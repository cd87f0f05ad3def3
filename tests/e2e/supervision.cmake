# Tests of child supervision, termination signals and the removal walk:
# launchers started in the background, real signals from other processes and
# from a pseudo-terminal, and launchers made from the stub with hooks that
# raise a signal inside a chosen library call.

add_executable(e2e_supervision_tests
  supervision_support.cpp
  supervision_mask_test.cpp
  signal_forwarding_test.cpp
  signal_grace_test.cpp
  signal_phase_test.cpp
  signal_storm_test.cpp
  removal_walk_test.cpp)
target_link_libraries(e2e_supervision_tests PRIVATE onefile_e2e_fixture GTest::gtest_main)
target_compile_definitions(e2e_supervision_tests PRIVATE ONEFILE_SANITIZED_BUILD=$<BOOL:${ONEFILE_SANITIZE}>)
# The grace-period tests take about five seconds each and the storm a few
# more; every test is its own CTest case, so they run in parallel.
gtest_discover_tests(e2e_supervision_tests
  NO_PRETTY_VALUES
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 90)
