# The native (POSIX) program's platform layer. Included from tests/CMakeLists.txt.

add_executable(deadline_test unit/deadline_test.cpp)
target_link_libraries(deadline_test PRIVATE relay_platform GTest::gtest_main panel_relay_warnings)
add_test(NAME unit.deadline COMMAND deadline_test)

add_executable(posix_links_test posix/posix_links_test.cpp)
target_link_libraries(posix_links_test PRIVATE relay_platform GTest::gtest panel_relay_warnings)
add_test(NAME unit.posix_links COMMAND posix_links_test)
# Its timings are checked to a few hundred milliseconds.
set_tests_properties(unit.posix_links PROPERTIES RUN_SERIAL TRUE)
