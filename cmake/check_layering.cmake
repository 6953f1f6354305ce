# The layering check: every subsystem library includes only the subsystems it links directly, links only the
# ones below it, and links none it does not include; every folder of the source root is a known subsystem.
#
#   cmake -DPL_SOURCE_ROOT=<src> -DPL_LAYER_MAP=<file> -P check_layering.cmake
#
# The layer map names the subsystems from the bottom up, one line each with the subsystems its library links
# directly: "tools: log base". The top CMakeLists.txt writes it for the real tree and calls pl_check_layering at
# the end of the configure; tests/layering runs the script on small trees of its own.
# Fails with one line per fault, such as: src/x/a.cpp:12: includes "y/..." but pl_x does not link pl_y
cmake_policy(VERSION 3.25)

function(pl_check_layering source_root layer_map)
  file(STRINGS ${layer_map} map_lines)
  set(layers "")
  foreach(line IN LISTS map_lines)
    if(line MATCHES "^([a-z0-9_]+):(.*)$")
      set(sub ${CMAKE_MATCH_1})
      string(REGEX MATCHALL "[a-z0-9_]+" links_${sub} "${CMAKE_MATCH_2}")
      list(APPEND layers ${sub})
    endif()
  endforeach()
  get_filename_component(root_parent ${source_root} DIRECTORY)
  get_filename_component(root_name ${source_root} NAME)
  set(faults "")

  # Every folder is a subsystem of the list.
  file(GLOB entries LIST_DIRECTORIES true RELATIVE ${source_root} ${source_root}/*)
  foreach(entry IN LISTS entries)
    if(IS_DIRECTORY ${source_root}/${entry} AND NOT entry IN_LIST layers)
      list(APPEND faults "${root_name}/${entry}: not a known subsystem (add it to PL_SUBSYSTEMS in CMakeLists.txt)")
    endif()
  endforeach()

  # Links go downwards only.
  set(below "")
  foreach(sub IN LISTS layers)
    foreach(link IN LISTS links_${sub})
      if(NOT link IN_LIST below)
        list(APPEND faults "pl_${sub} links pl_${link}, which is not a subsystem below it")
      endif()
    endforeach()
    list(APPEND below ${sub})
  endforeach()

  # An include of another subsystem needs a direct link, and a link needs an include.
  foreach(sub IN LISTS layers)
    set(included "")
    file(GLOB_RECURSE files ${source_root}/${sub}/*)
    list(SORT files)
    foreach(file IN LISTS files)
      file(READ ${file} text)
      # One list element per line: the characters CMake lists treat specially may neither split nor join lines.
      string(REGEX REPLACE "[][;\\\r]" "_" text "${text}")
      string(REPLACE "\n" ";" lines "${text}")
      file(RELATIVE_PATH shown ${root_parent} ${file})
      set(number 0)
      foreach(line IN LISTS lines)
        math(EXPR number "${number} + 1")
        if(NOT line MATCHES "^[ \t]*#[ \t]*include[ \t]*\"([^/\"]+)/[^\"]*\"")
          continue()
        endif()
        set(target ${CMAKE_MATCH_1})
        if(target STREQUAL sub OR NOT target IN_LIST layers)
          continue()
        endif()
        list(APPEND included ${target})
        if(NOT target IN_LIST links_${sub})
          list(APPEND faults "${shown}:${number}: includes \"${target}/...\" but pl_${sub} does not link pl_${target}")
        endif()
      endforeach()
    endforeach()
    foreach(link IN LISTS links_${sub})
      if(NOT link IN_LIST included)
        list(APPEND faults "pl_${sub} links pl_${link}, but nothing in ${sub}/ includes \"${link}/...\"")
      endif()
    endforeach()
  endforeach()

  if(faults)
    list(JOIN faults "\n  " report)
    message(FATAL_ERROR "Layering check failed (a library includes only what it links, and links only below it):\n"
                        "  ${report}")
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  foreach(required PL_SOURCE_ROOT PL_LAYER_MAP)
    if(NOT DEFINED ${required})
      message(FATAL_ERROR "check_layering.cmake needs -D${required}=...")
    endif()
  endforeach()
  pl_check_layering(${PL_SOURCE_ROOT} ${PL_LAYER_MAP})
endif()
