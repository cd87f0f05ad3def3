# Tests of how a run ends: the child's own end as the launcher's status
# after termination signals, the one deadline of the grace period, signals
# passed on to the application or left ignored, fatal errors and stops
# during the extraction that leave nothing behind, and launcher files cut
# short; compressed launchers, whole or damaged; and the copy of stored
# entries by the kernel, each step of it and its failures.
add_executable(e2e_stops_tests
  supervision_support.cpp
  stops_support.cpp
  exit_status_signals_test.cpp
  signal_relay_test.cpp
  fatal_cleanup_test.cpp
  truncated_launcher_test.cpp
  extraction_stop_test.cpp
  compressed_launch_test.cpp
  stored_copy_test.cpp)
target_link_libraries(e2e_stops_tests PRIVATE onefile_e2e_fixture GTest::gtest_main)
target_compile_definitions(e2e_stops_tests PRIVATE ONEFILE_SANITIZED_BUILD=$<BOOL:${ONEFILE_SANITIZE}>)
# The grace-period cases take about 5 s, the terminal-key cases 7 s and the
# series of signals a little over 5 s; every test is its own CTest case,
# named stops.*.
gtest_discover_tests(e2e_stops_tests
  TEST_PREFIX stops.
  NO_PRETTY_VALUES
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120)
