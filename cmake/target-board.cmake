# The device emulator built for the target as a shared library, so that the simulated board can
# boot the target program under qemu-ppc with the emulator preloaded into the emulated process
# (scripts/target-board.sh), with the console's output flush of tty_flush.cpp. The host build makes
# the same library in sim/.
if(NOT TARGET bmsim_devices)
  file(GLOB devices_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/sim/devices/*.cpp)
  add_library(bmsim_devices SHARED ${devices_sources} ${CMAKE_SOURCE_DIR}/sim/tty_flush.cpp)
  target_include_directories(bmsim_devices PRIVATE ${CMAKE_SOURCE_DIR}/sim/devices)
  target_link_libraries(bmsim_devices PRIVATE ${CMAKE_DL_LIBS})
  target_compile_definitions(bmsim_devices PRIVATE BMSIM_PRELOADED=1)
  set_target_properties(bmsim_devices PROPERTIES LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sim)
endif()
