# Debian packages made by cpack. From the target build: the switch's program, /sbin/bootmanager,
# for powerpc. From the host build: bmimage and bmsim with the simulated board's pieces
# (bmsim-launch, the device emulator, the stubs and the host's bootmanager). The presets
# "package" and "package-target" build the installed targets alone, without the tests, which
# cpack's preinstall step would otherwise build first.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "BootManager developers <bootmanager@example.com>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
if(CMAKE_CROSSCOMPILING)
  set(CPACK_PACKAGE_NAME bootmanager)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Boot manager of the switch: picks, checks and starts the application image")
  set(bm_description
      "The first program of the switch's own that runs after Linux comes up. It picks\n"
      "an application image from two flash slots or a USB stick, verifies it by\n"
      "CRC-32, unpacks it and starts it, falling back to the other slot. When nothing\n"
      "can be started it offers a rescue menu on the serial console: XMODEM download,\n"
      "USB install, version report and user file-system erase.")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE powerpc)
  set(CPACK_DEBIAN_PACKAGE_SECTION admin)
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  set(bm_share usr/share)
  if(NOT BM_STATIC)
    # Debian 12's cross toolchain: the program needs what its C and C++ libraries give there.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libgcc-s1 (>= 3.0)")
  endif()
else()
  set(CPACK_PACKAGE_NAME bootmanager-tools)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "BootManager host tools: bmimage and the simulated board bmsim")
  set(bm_description
      "bmimage makes, packs, lists and extracts the switch's images and packages.\n"
      "bmsim is the switch's simulated board: it makes board directories (flash\n"
      "partitions, EEPROM, user file system, USB stick) and boots the real boot\n"
      "manager on them in a bubblewrap sandbox, with its serial console on the\n"
      "terminal, XMODEM sends, console scripts and injected device faults.")
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(bm_share share)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # bmsim's sandbox, the switch's busybox, the XMODEM receiver and sender
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "bubblewrap, busybox-static, lrzsz")

endif()
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${bm_description})

# The documents every Debian package carries, and the guides.
set(bm_doc ${bm_share}/doc/${CPACK_PACKAGE_NAME})
set(BM_PACKAGE_NAME ${CPACK_PACKAGE_NAME})
configure_file(${CMAKE_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(bm_gzipped ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                   COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
              ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/operator.md
        DESTINATION ${bm_doc})

# Manual pages: bootmanager's and bmctl's are written; bmimage's and bmsim's are made of their --help texts.
if(CMAKE_CROSSCOMPILING)
  foreach(page bootmanager.8 bmctl.8)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${page}.gz
                       COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/${page} > ${CMAKE_BINARY_DIR}/packaging/${page}.gz
                       DEPENDS ${CMAKE_SOURCE_DIR}/packaging/${page})
    list(APPEND bm_gzipped ${CMAKE_BINARY_DIR}/packaging/${page}.gz)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${page}.gz DESTINATION ${bm_share}/man/man8)
  endforeach()
else()
  foreach(tool bmimage bmsim)
    if(TARGET ${tool})
      set(page ${CMAKE_BINARY_DIR}/packaging/${tool}.1.gz)
      add_custom_command(OUTPUT ${page}
                         COMMAND sh ${CMAKE_SOURCE_DIR}/packaging/manual-page.sh $<TARGET_FILE:${tool}> ${page}
                         DEPENDS ${tool} ${CMAKE_SOURCE_DIR}/packaging/manual-page.sh)
      list(APPEND bm_gzipped ${page})
      install(FILES ${page} DESTINATION ${bm_share}/man/man1)
    endif()
  endforeach()
  if(TARGET bmsim)
    install(FILES ${CMAKE_SOURCE_DIR}/sim/README.md DESTINATION ${bm_doc} RENAME simulated-board.md)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides DESTINATION ${bm_share}/lintian/overrides
            RENAME ${CPACK_PACKAGE_NAME})
  endif()
endif()
add_custom_target(bm_package_documents ALL DEPENDS ${bm_gzipped})
include(CPack)
