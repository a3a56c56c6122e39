# The AVR build of the sketch, as the Arduino IDE builds it for a Leonardo (boards.txt,
# platform.txt of Debian's arduino-core-avr), without link-time optimisation.
set(ARDUINO_AVR_DIR /usr/share/arduino/hardware/arduino/avr CACHE PATH
    "The Arduino AVR core (Debian's arduino-core-avr)")
set(arduino_core_dir ${ARDUINO_AVR_DIR}/cores/arduino)
if(NOT EXISTS ${arduino_core_dir}/Arduino.h)
  message(FATAL_ERROR "No Arduino core in ${ARDUINO_AVR_DIR} (install arduino-core-avr)")
endif()

# The chip's limits, as boards.txt gives them: flash less the 4 KB bootloader; static RAM of
# the 2,560 bytes, leaving the rest to the stack.
set(PANEL_FIRMWARE_MAX_FLASH 28672)
set(PANEL_FIRMWARE_MAX_RAM 2048)

set(board_definitions
  F_CPU=16000000L ARDUINO=10807 ARDUINO_AVR_LEONARDO ARDUINO_ARCH_AVR
  USB_VID=0x2341 USB_PID=0x8036 "USB_MANUFACTURER=\"Unknown\"" "USB_PRODUCT=\"Arduino Leonardo\"")
set(common_options -mmcu=atmega32u4 -Os -g -ffunction-sections -fdata-sections
  # No build paths in what is built.
  -fdebug-prefix-map=${PROJECT_SOURCE_DIR}=. -fdebug-prefix-map=${PROJECT_BINARY_DIR}=build
  -fdebug-prefix-map=${ARDUINO_AVR_DIR}=arduino)
set(cxx_options -std=gnu++11 -fno-exceptions -fno-threadsafe-statics)

file(GLOB arduino_core_sources ${arduino_core_dir}/*.c ${arduino_core_dir}/*.cpp
     ${arduino_core_dir}/*.S)
list(SORT arduino_core_sources)
add_library(arduino_core STATIC ${arduino_core_sources})
target_include_directories(arduino_core PUBLIC ${arduino_core_dir}
                           ${ARDUINO_AVR_DIR}/variants/leonardo)
target_compile_definitions(arduino_core PUBLIC ${board_definitions}
  # Debian 12's avr-gcc 5.4 has no DECIMAL_DIG in C++, which the core's WString.cpp needs; only
  # the core gets it, so that no redefinition reaches the sketch's warnings.
  PRIVATE DECIMAL_DIG=__DECIMAL_DIG__)
target_compile_options(arduino_core PUBLIC ${common_options}
  $<$<COMPILE_LANGUAGE:CXX>:${cxx_options}>
  $<$<COMPILE_LANGUAGE:C>:-std=gnu11>
  $<$<COMPILE_LANGUAGE:ASM>:-x assembler-with-cpp>
  PRIVATE -w $<$<COMPILE_LANGUAGE:CXX>:-fpermissive>)

# The sketch as the IDE makes it: Arduino.h first, then the .ino as C++.
set(sketch_dir ${CMAKE_CURRENT_SOURCE_DIR}/relay_panel)
set(sketch_cpp ${CMAKE_CURRENT_BINARY_DIR}/relay_panel.ino.cpp)
file(WRITE ${sketch_cpp}.in "#include <Arduino.h>\n#include \"relay_panel.ino\"\n")
configure_file(${sketch_cpp}.in ${sketch_cpp} COPYONLY)

add_executable(relay_panel ${sketch_cpp} ${panel_core_sources}
  relay_panel/src/ssd1322.cpp relay_panel/src/board_startup.cpp)
set_target_properties(relay_panel PROPERTIES OUTPUT_NAME relay_panel.elf SUFFIX "")
target_include_directories(relay_panel PRIVATE ${sketch_dir})
target_compile_options(relay_panel PRIVATE -Wall -Wextra -Werror)
target_link_libraries(relay_panel PRIVATE arduino_core)
target_link_options(relay_panel PRIVATE -mmcu=atmega32u4 -Os -Wl,--gc-sections)
target_link_libraries(relay_panel PRIVATE m)

# The sizes are checked before the .hex is made, so a build over the limits leaves none.
set(firmware_elf ${CMAKE_CURRENT_BINARY_DIR}/relay_panel.elf)
set(firmware_hex ${CMAKE_BINARY_DIR}/relay_panel.hex)
add_custom_command(OUTPUT ${firmware_hex}
  COMMAND ${CMAKE_COMMAND} -DAVR_SIZE=${AVR_SIZE} -DELF=${firmware_elf}
          -DMAX_FLASH=${PANEL_FIRMWARE_MAX_FLASH} -DMAX_RAM=${PANEL_FIRMWARE_MAX_RAM}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/firmware_size.cmake
  COMMAND ${AVR_OBJCOPY} -O ihex -R .eeprom ${firmware_elf} ${firmware_hex}
  COMMAND ${CMAKE_COMMAND} -E copy ${firmware_elf} ${CMAKE_BINARY_DIR}/relay_panel.elf
  DEPENDS relay_panel ${CMAKE_CURRENT_SOURCE_DIR}/firmware_size.cmake
  COMMENT "Checking the firmware's sizes, making relay_panel.hex"
  VERBATIM)
add_custom_target(relay_panel_hex ALL DEPENDS ${firmware_hex})
