# Makes the WIM fixtures into `dir` with wimtools at build time (fixtures/make_wim_fixtures.sh) before `target`
# builds, and hands the folder to its tests as PL_WIM_FIXTURES, behind `prefix` ("Z:" for the Wine build).
function(pl_add_wim_fixtures target dir prefix)
  set(script ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/fixtures/make_wim_fixtures.sh)
  add_custom_command(OUTPUT ${dir}/three.wim COMMAND ${script} ${dir} DEPENDS ${script} COMMENT "WIM fixtures")
  add_custom_target(${target}_wim_fixtures DEPENDS ${dir}/three.wim)
  add_dependencies(${target} ${target}_wim_fixtures)
  target_compile_definitions(${target} PRIVATE PL_WIM_FIXTURES="${prefix}${dir}")
endfunction()
