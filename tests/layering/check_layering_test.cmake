# Runs the layering check on a sound tree and on copies of it with one fault each; every case must end as its
# table says: passing, or failing with exactly its fault lines.
#   cmake -DPL_CHECK=<check_layering.cmake> -DPL_WORK=<scratch folder> -P check_layering_test.cmake
cmake_minimum_required(VERSION 3.25)

# A sound tree: base at the bottom, log on base, disks on log and base.
function(write_sound_tree root)
  file(REMOVE_RECURSE ${root})
  file(WRITE ${root}/src/base/text.h "#pragma once\n")
  file(WRITE ${root}/src/log/log.cpp "#include \"log/log.h\"\n#include \"base/text.h\"\n")
  file(WRITE ${root}/src/disks/planner.cpp
       "#include \"disks/planner.h\"\n\n#include <windows.h>\nint a[2]; // [ ; \\\n#include \"base/text.h\"\n"
       "#include \"log/log.h\"\n#include \"nlohmann/json.hpp\"\n")
  file(WRITE ${root}/layer_map.txt "base:\nlog: base\ndisks: log base\n")
endfunction()

set(failures "")
# A case: its name, the CMake code that changes the sound tree (at ${root}), then the fault lines the check must
# print, in order; none when it must pass.
function(check_case name change)
  list(JOIN ARGN "|" expected)
  set(root ${PL_WORK}/${name})
  write_sound_tree(${root})
  cmake_language(EVAL CODE "${change}")
  execute_process(COMMAND ${CMAKE_COMMAND} -DPL_SOURCE_ROOT=${root}/src -DPL_LAYER_MAP=${root}/layer_map.txt
                          -P ${PL_CHECK}
                  RESULT_VARIABLE result ERROR_VARIABLE output OUTPUT_VARIABLE output)
  string(REGEX MATCHALL "\n    [^\n]+" lines "${output}")
  list(TRANSFORM lines STRIP)
  list(JOIN lines "|" lines)
  if(expected STREQUAL "" AND NOT result EQUAL 0)
    set(failures "${failures}${name}: expected to pass, failed with:\n${output}\n" PARENT_SCOPE)
  elseif(NOT expected STREQUAL "" AND (result EQUAL 0 OR NOT lines STREQUAL expected))
    set(failures "${failures}${name}: expected \"${expected}\", got (exit ${result}) \"${lines}\"\n" PARENT_SCOPE)
  endif()
endfunction()

check_case(sound "")
# log may include only base: a log file that reaches up into disks.
check_case(log_includes_disks
  [[file(APPEND ${root}/src/log/log.cpp "\n#  include \"disks/planner.h\"  // up\n")]]
  [[src/log/log.cpp:4: includes "disks/..." but pl_log does not link pl_disks]])
# The deliberate bad include of the issue: a subsystem including one it does not link.
check_case(include_without_link
  [[file(WRITE ${root}/layer_map.txt "base:\nlog: base\ndisks: log\n")]]
  [[src/disks/planner.cpp:5: includes "base/..." but pl_disks does not link pl_base]])
check_case(link_upwards
  [[file(WRITE ${root}/layer_map.txt "base:\nlog: base disks\ndisks: log base\n")]]
  [[pl_log links pl_disks, which is not a subsystem below it]]
  [[pl_log links pl_disks, but nothing in log/ includes "disks/..."]])
check_case(link_without_include
  [[file(WRITE ${root}/src/log/log.cpp "#include \"log/log.h\"\n")]]
  [[pl_log links pl_base, but nothing in log/ includes "base/..."]])
check_case(unknown_folder
  [[file(WRITE ${root}/src/extra/x.cpp "")]]
  [[src/extra: not a known subsystem (add it to PL_SUBSYSTEMS in CMakeLists.txt)]])

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "layering check: 6 cases as expected")
