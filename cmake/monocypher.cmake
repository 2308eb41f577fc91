# Monocypher 4.0.3, the Ed25519 signatures of signed images, built from its release archive.
# The archive is not part of this repository: it lies in the shared third-party folder beside the
# clone (../shared/third-party, or beside the main repository for a worktree), is checked
# against the folder's SHA256SUMS and unpacked into the build tree at configure time.
set(BM_MONOCYPHER_NAME monocypher-4.0.3)
set(BM_MONOCYPHER_SHA256 edf9980d90ad0b94ec26ccd0c94969d493dcd92d87a73b1c1b6638667b9f47dd)

if(NOT BM_MONOCYPHER_ARCHIVE)
  execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} rev-parse --path-format=absolute --git-common-dir
                  OUTPUT_VARIABLE git_common_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  foreach(dir ${CMAKE_SOURCE_DIR}/../shared ${git_common_dir}/../../shared)
    if(EXISTS ${dir}/third-party/${BM_MONOCYPHER_NAME}.tar.xz)
      get_filename_component(found ${dir}/third-party/${BM_MONOCYPHER_NAME}.tar.xz ABSOLUTE)
      set(BM_MONOCYPHER_ARCHIVE ${found} CACHE FILEPATH "Monocypher's release archive")
      break()
    endif()
  endforeach()
endif()
if(NOT BM_MONOCYPHER_ARCHIVE OR NOT EXISTS ${BM_MONOCYPHER_ARCHIVE})
  message(FATAL_ERROR "${BM_MONOCYPHER_NAME}.tar.xz not found in ../shared/third-party: "
                      "set BM_MONOCYPHER_ARCHIVE to its path")
endif()

file(SHA256 ${BM_MONOCYPHER_ARCHIVE} archive_sha256)
if(NOT archive_sha256 STREQUAL BM_MONOCYPHER_SHA256)
  message(FATAL_ERROR "${BM_MONOCYPHER_ARCHIVE}: checksum ${archive_sha256}, expected ${BM_MONOCYPHER_SHA256}")
endif()
set(monocypher_dir ${CMAKE_BINARY_DIR}/third-party/${BM_MONOCYPHER_NAME})
if(NOT EXISTS ${monocypher_dir}/src/optional/monocypher-ed25519.c)
  file(ARCHIVE_EXTRACT INPUT ${BM_MONOCYPHER_ARCHIVE} DESTINATION ${CMAKE_BINARY_DIR}/third-party
       PATTERNS ${BM_MONOCYPHER_NAME}/src ${BM_MONOCYPHER_NAME}/LICENCE.md)
endif()

# The library and its optional Ed25519 module (SHA-512 signatures), as the authors wrote them:
# built without the project's warnings-as-errors, which are for the project's own code.
add_library(monocypher STATIC ${monocypher_dir}/src/monocypher.c ${monocypher_dir}/src/optional/monocypher-ed25519.c)
target_include_directories(monocypher SYSTEM PUBLIC ${monocypher_dir}/src ${monocypher_dir}/src/optional)
# Each function in a section of its own, so that the programs keep only the ones they call.
target_compile_options(monocypher PRIVATE -Wno-error -ffunction-sections -fdata-sections)
set_target_properties(monocypher PROPERTIES C_STANDARD 99 POSITION_INDEPENDENT_CODE ON)
