# Delay-load import libraries, pl_delay_<dll>, for the DLLs the program imports that Windows neither keeps as
# known DLLs nor redirects through the manifest. The loader resolves static imports from the program's folder before
# any code runs, and the program runs elevated from wherever it was downloaded to; loaded on first use instead,
# after wWinMain restricted DLL loading to system32, they come from system32 only. Made at configure time from
# mingw's import library of each DLL (its exports as nm lists them) with dlltool; mingw's delayimp loads them.
find_program(PL_DLLTOOL NAMES ${PL_MINGW_TRIPLE}-dlltool REQUIRED)

function(pl_delay_import dll)
  find_library(pl_import_${dll} NAMES ${dll} REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/delay-imports)
  file(MAKE_DIRECTORY ${dir})
  execute_process(COMMAND ${CMAKE_NM} ${pl_import_${dll}} OUTPUT_VARIABLE symbols ERROR_QUIET
                  RESULT_VARIABLE failed)
  string(REGEX MATCHALL "I __imp_[^\n]+" imports "${symbols}")
  list(TRANSFORM imports REPLACE "^I __imp_" "")
  list(REMOVE_DUPLICATES imports)
  list(SORT imports)
  if(failed OR NOT imports)
    message(FATAL_ERROR "No exports of ${dll}.dll found in ${pl_import_${dll}}")
  endif()
  list(JOIN imports "\n" exports)
  file(WRITE ${dir}/${dll}.def "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
  execute_process(COMMAND ${PL_DLLTOOL} --input-def ${dir}/${dll}.def --output-delaylib ${dir}/lib${dll}_delay.a
                          --dllname ${dll}.dll
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "dlltool could not make the delay-load library of ${dll}.dll")
  endif()
  add_library(pl_delay_${dll} INTERFACE)
  target_link_libraries(pl_delay_${dll} INTERFACE ${dir}/lib${dll}_delay.a delayimp)
endfunction()

foreach(dll winhttp wininet crypt32 bcrypt gdiplus)
  pl_delay_import(${dll})
endforeach()
