# The native (POSIX) program: its platform layer, and the end-to-end cases on the real binary.
# Included from tests/CMakeLists.txt.

add_executable(deadline_test unit/deadline_test.cpp)
target_link_libraries(deadline_test PRIVATE relay_platform GTest::gtest_main panel_relay_warnings)
add_test(NAME unit.deadline COMMAND deadline_test)

add_executable(posix_links_test posix/posix_links_test.cpp)
target_link_libraries(posix_links_test PRIVATE relay_platform tool_support GTest::gtest
                                               panel_relay_warnings)
add_test(NAME unit.posix_links COMMAND posix_links_test)
# Its timings are checked to a few hundred milliseconds.
set_tests_properties(unit.posix_links PROPERTIES RUN_SERIAL TRUE COST 100 LABELS timing)

find_package(Python3 REQUIRED COMPONENTS Interpreter)

# The real program, each case in a private mount namespace of its own: first the cases shared
# with the Windows program, then those only POSIX has. Where namespaces cannot be made the cases
# skip, unless PANEL_RELAY_REQUIRE_NAMESPACES is set.
set(native_cases
  no_port
  port_gone_after_countdown
  ordinary_run
  arguments_are_ignored
  interrupt_while_waiting_for_simulator
  interrupt_during_countdown_ends_at_once
  busy_simulator_then_gone_and_a_second_interrupt
  stalled_panel
  panel_gone
  port_locked_by_another_program
  port_made_exclusive_by_another_program
  port_held_exclusively_while_relaying_and_released
  other_stop_signals_end_the_run_like_ctrl_c
  area_created_empty_and_sized_later
  area_that_cannot_be_mapped
  stalled_panel_write_time_outs
  port_calls_seen_from_outside
  panel_back_as_a_new_node_in_the_default_mode)
foreach(case IN LISTS native_cases)
  add_test(NAME e2e.native.${case}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/test_relay_native.py
            NativeRelay.test_${case})
  set_tests_properties(e2e.native.${case} PROPERTIES
    TIMEOUT 120
    SKIP_REGULAR_EXPRESSION "skipped=[1-9]"
    ENVIRONMENT "PANEL_RELAY_BIN=$<TARGET_FILE:panel-relay>;AREA_STANDIN_BIN=$<TARGET_FILE:area_standin>")
endforeach()
# The same in the two shapes of chroot that distribution build tools run test suites in.
add_test(NAME e2e.native.chroot_shapes
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/chroot_shapes_test.py -v)
set_tests_properties(e2e.native.chroot_shapes PROPERTIES
  TIMEOUT 300
  SKIP_REGULAR_EXPRESSION "chroot shapes not tried"
  ENVIRONMENT "PANEL_RELAY_BIN=$<TARGET_FILE:panel-relay>;AREA_STANDIN_BIN=$<TARGET_FILE:area_standin>;SIM_EMULATOR_BIN=$<TARGET_FILE:sim-emulator>")

# Time-outs measured to a hundred milliseconds, by sampling the relay every 10 ms: label timing,
# which scripts/test runs apart, once the builds and the other suites are done and the machine is
# quiet. The longest start first (CTest runs higher costs first).
set_tests_properties(e2e.native.stalled_panel e2e.native.stalled_panel_write_time_outs PROPERTIES
  COST 40 LABELS timing)
set_tests_properties(e2e.native.busy_simulator_then_gone_and_a_second_interrupt PROPERTIES
  COST 20)

# The cutter that judges every byte on the line for the soak.
add_test(NAME chain.line
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/e2e/chain_line_test.py)

# The static checks pick their files by place in the tree, wherever the checkout is.
add_test(NAME lint.file_selection
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/lint/lint_sources_test.py
                 ${CMAKE_BINARY_DIR})

# README.md and docs/: every relative link leads to a file, every anchor to a heading.
add_test(NAME docs.links
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/lint/doc_links_test.py)
# The example udev rule, both its forms, as udevadm verify reads it. Skipped where udevadm has no
# verify (before systemd 253: Debian 12) or is not installed.
add_test(NAME lint.udev_rule
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/lint/udev_rule_test.py)
set_tests_properties(lint.udev_rule PROPERTIES SKIP_RETURN_CODE 77)
# The same rule as the pages give it in their text, for the zip that has no rule file.
add_test(NAME docs.udev_rule_text
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/lint/docs_rule_text_test.py)
# The README's picture of the panel is what the panel emulator draws for the example page, with
# the real relay between it and the simulator emulator (scripts/panel-picture remakes it). The
# relay needs a private mount namespace: skipped where none can be made, as the cases above.
add_test(NAME docs.readme_picture
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/demo/panel_picture.py
                 --relay $<TARGET_FILE:panel-relay> --sim $<TARGET_FILE:sim-emulator>
                 --panel $<TARGET_FILE:panel-emulator> --check ${PROJECT_SOURCE_DIR}/README.md)
set_tests_properties(docs.readme_picture PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
# The bench of docs/linux-native.md as written, the package's recipe and the tarball's, by a user
# who is not root (sudo's line as sudo runs it), each in a private mount namespace: the relay
# connects and the panel emulator shows the example pages. Needs root to be that user.
add_test(NAME docs.bench_recipe
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/e2e/docs_bench_test.py)
set_tests_properties(docs.bench_recipe PROPERTIES
  TIMEOUT 120
  SKIP_REGULAR_EXPRESSION "skipped=[1-9]"
  ENVIRONMENT "PANEL_RELAY_BIN=$<TARGET_FILE:panel-relay>;SIM_EMULATOR_BIN=$<TARGET_FILE:sim-emulator>;PANEL_EMULATOR_BIN=$<TARGET_FILE:panel-emulator>")
# The release's date in a tree without git: the environment's, or a refusal that says how.
add_test(NAME release.source_date_epoch
         COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/release/source_date_epoch_test.py)
