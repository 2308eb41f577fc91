# Holds src/ to its layers, BM_LAYERS in src/CMakeLists.txt: every include of a header of
# another folder, and every link between the folders' libraries, must be one that the list
# names; the list must name only folders below each layer; and the README's table of layers must
# read as the list does. Run by CTest as Layering.Edges:
#   cmake -DSOURCE_DIR=... -DLAYERS=name:dep,dep|... -DLINKS_<name>=lib,lib... [-DTHIRD_PARTY=name:lib|...]
#         -P check_layering.cmake
# THIRD_PARTY names the third-party libraries a layer may link besides the layers.
# Faults tried, each caught here: an upward include (#include "boot/endings.h" in
# src/hw/flash.cpp, which also no longer compiles, since bm_hw does not see boot/), an include of
# a folder two layers down that the list does not name ("common/files.h" in src/options), links
# added beside the list (target_link_libraries(bm_hw PUBLIC bm_store), and of bmsim_board), a
# loop in the list (common on hw), an include by a relative path ("../boot/endings.h"), and a
# README table whose row for store lost options.

cmake_minimum_required(VERSION 3.25)
set(failures "")
macro(fail message)
  string(APPEND failures "  ${message}\n")
endmacro()

# The list: names in order, and each one's allowed folders.
string(REPLACE "|" ";" layers "${LAYERS}")
string(REPLACE "|" ";" third_party "${THIRD_PARTY}")
set(names "")
foreach(layer IN LISTS layers)
  string(REGEX MATCH "^[a-z_]+" name "${layer}")
  string(FIND "${layer}" ":" colon)
  math(EXPR colon "${colon} + 1")
  string(SUBSTRING "${layer}" ${colon} -1 deps)
  string(REPLACE "," ";" deps "${deps}")
  foreach(dep IN LISTS deps)
    if(NOT dep IN_LIST names)
      fail("the list: ${name} names ${dep}, which is not a layer below it")
    endif()
  endforeach()
  set(allowed_${name} "${deps}")
  list(APPEND names ${name})
endforeach()

# Includes: "folder/file.h" only, of the file's own folder or an allowed one.
file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}/src ${SOURCE_DIR}/src/*.cpp ${SOURCE_DIR}/src/*.h)
foreach(source IN LISTS sources)
  string(REGEX MATCH "^[^/]+" folder "${source}")
  if(NOT folder IN_LIST names)
    fail("src/${source}: its folder is not a layer")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/src/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" header "${line}")
    if(NOT header MATCHES "^([a-z_]+)/[^/]+$")
      fail("src/${source}: \"${header}\" does not name its folder")
      continue()
    endif()
    set(target ${CMAKE_MATCH_1})
    if(NOT target STREQUAL folder AND NOT target IN_LIST allowed_${folder})
      fail("src/${source}: includes \"${header}\": ${folder} -> ${target} is not in the list")
    endif()
  endforeach()
endforeach()

# Links: each library's own links to the others are exactly its list entry.
foreach(name IN LISTS names)
  string(REPLACE "," ";" links "${LINKS_${name}}")
  set(linked "")
  foreach(library IN LISTS links)
    if(library MATCHES "^bm_([a-z_]+)$")
      list(APPEND linked ${CMAKE_MATCH_1})
    elseif("${name}:${library}" IN_LIST third_party)
      continue()
    elseif(NOT library MATCHES "^(/|-)")
      fail("bm_${name} links ${library}, which is no layer (only layers and system libraries by path)")
    endif()
  endforeach()
  list(SORT linked)
  set(expected "${allowed_${name}}")
  list(SORT expected)
  if(NOT linked STREQUAL expected)
    fail("bm_${name} links [${linked}], the list says [${expected}]")
  endif()
endforeach()

# The README's table, between its two markers.
set(table "| Layer | Includes and links |\n|---|---|\n")
foreach(name IN LISTS names)
  set(row "")
  foreach(dep IN LISTS allowed_${name})
    string(APPEND row "`${dep}` ")
  endforeach()
  string(STRIP "${row}" row)
  if(row STREQUAL "")
    set(row "nothing")
  endif()
  string(REPLACE "` `" "`, `" row "${row}")
  string(APPEND table "| `${name}` | ${row} |\n")
endforeach()
file(READ ${SOURCE_DIR}/README.md readme)
string(REGEX MATCH "<!-- layers -->\n(.*)<!-- /layers -->" found "${readme}")
if(NOT CMAKE_MATCH_1 STREQUAL table)
  fail("README.md: the table between <!-- layers --> and <!-- /layers --> must read\n${table}")
endif()

if(failures)
  message(FATAL_ERROR "src/ leaves its layers:\n${failures}")
endif()
list(LENGTH names layer_count)
list(LENGTH sources file_count)
message(STATUS "layering: ${layer_count} layers, ${file_count} files of src/, every edge in the list")
