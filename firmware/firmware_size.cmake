# Reports the firmware's flash and static RAM (avr-size) and fails above the chip's limits.
#   cmake -DAVR_SIZE=... -DELF=... -DMAX_FLASH=... -DMAX_RAM=... -P firmware_size.cmake
execute_process(COMMAND ${AVR_SIZE} -A ${ELF} OUTPUT_VARIABLE sections RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "avr-size failed on ${ELF}")
endif()
foreach(section text data bss)
  set(${section} 0)
  if(sections MATCHES "\n\\.${section}[ \t]+([0-9]+)")
    set(${section} ${CMAKE_MATCH_1})
  endif()
endforeach()
math(EXPR flash "${text} + ${data}")
math(EXPR ram "${data} + ${bss}")
message(STATUS "relay_panel: flash ${flash} of ${MAX_FLASH} bytes (text ${text} + data ${data}), "
               "static RAM ${ram} of ${MAX_RAM} bytes (data ${data} + bss ${bss})")
if(flash GREATER MAX_FLASH OR ram GREATER MAX_RAM)
  message(FATAL_ERROR "relay_panel does not fit the chip: flash ${flash} (at most ${MAX_FLASH}), "
                      "static RAM ${ram} (at most ${MAX_RAM})")
endif()
