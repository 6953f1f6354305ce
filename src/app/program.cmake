# The program: the entry and every subsystem library. Included last, once all libraries exist.
get_property(pl_libraries GLOBAL PROPERTY PL_SUBSYSTEM_LIBRARIES)
add_executable(pl_host_gui WIN32
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/entry.cpp ${CMAKE_CURRENT_LIST_DIR}/entry.h
  ${CMAKE_CURRENT_LIST_DIR}/contract_window.cpp ${CMAKE_CURRENT_LIST_DIR}/contract_window.h
  ${CMAKE_CURRENT_LIST_DIR}/pl_host_gui.rc)
target_link_options(pl_host_gui PRIVATE -municode)
target_link_libraries(pl_host_gui PRIVATE ${pl_libraries} user32 gdi32 gdiplus)
set_target_properties(pl_host_gui PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/pl_host_gui.rc PROPERTIES
  OBJECT_DEPENDS
  "${CMAKE_CURRENT_LIST_DIR}/pl_host_gui.manifest;${CMAKE_SOURCE_DIR}/assets/pl_host_gui.ico;${CMAKE_SOURCE_DIR}/src/base/resource.h")
