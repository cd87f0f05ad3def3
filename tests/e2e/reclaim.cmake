# Tests of the sweep for the trees of runs that died: real launchers killed
# outright, later runs of the stub with hooks that reclaim their trees.
add_executable(e2e_reclaim_tests
  supervision_support.cpp
  reclaim_test.cpp)
target_link_libraries(e2e_reclaim_tests PRIVATE onefile_e2e_fixture GTest::gtest_main)
gtest_discover_tests(e2e_reclaim_tests
  TEST_PREFIX reclaim.
  NO_PRETTY_VALUES
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120)
