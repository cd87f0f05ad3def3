# Tests of launchers made with pack --reuse: the kept tree published by the
# first run and used by later ones, runs that start together, stops while
# the first run unpacks, new versions, foreign names in the holding
# directory, damaged trees repaired while a run of them goes on, and runs
# under a low limit of open descriptors.
add_executable(e2e_reuse_tests
  supervision_support.cpp
  reuse_support.cpp
  reuse_publish_test.cpp
  reuse_repair_test.cpp
  reuse_descriptor_limit_test.cpp)
target_link_libraries(e2e_reuse_tests PRIVATE onefile_e2e_fixture GTest::gtest_main)
# Twenty runs at once take a few seconds; every test is its own CTest case,
# named reuse.*.
gtest_discover_tests(e2e_reuse_tests
  TEST_PREFIX reuse.
  NO_PRETTY_VALUES
  DISCOVERY_TIMEOUT 60
  PROPERTIES TIMEOUT 120)
