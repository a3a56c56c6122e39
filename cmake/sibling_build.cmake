# panel_relay_sibling_build(VARIABLE FROM TO): the build directory of another preset beside this
# one (build/native -> build/windows), or build/TO of the source tree when this one's name does
# not end in FROM. Tests that need both builds (the demo, COM4 set from Linux for the Windows
# program) find the other one there.
function(panel_relay_sibling_build variable from to)
  string(REGEX REPLACE "${from}$" "${to}" sibling "${CMAKE_BINARY_DIR}")
  if(sibling STREQUAL CMAKE_BINARY_DIR)
    set(sibling ${PROJECT_SOURCE_DIR}/build/${to})
  endif()
  set(${variable} ${sibling} PARENT_SCOPE)
endfunction()
