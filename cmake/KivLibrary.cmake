# kiv_folder_library(name [LINKS libs...] [UI_LINKS libs...])
#
# A folder's top-level sources make the static library `name`. Sources under
# its ui/ subfolder make `name_ui`, which links `name`. Only the ui libraries
# may link Qt Widgets: the receiver and everything it needs builds without it.
function(kiv_folder_library name)
  cmake_parse_arguments(L "" "" "LINKS;UI_LINKS" ${ARGN})
  file(GLOB core CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(FILTER core EXCLUDE REGEX ".*/main\\.cpp$")
  add_library(${name} STATIC ${core} ${PROJECT_SOURCE_DIR}/cmake/empty.cpp)
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${L_LINKS})
  file(GLOB ui CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ui/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/ui/*.h)
  if(ui)
    add_library(${name}_ui STATIC ${ui})
    target_include_directories(${name}_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/ui)
    target_link_libraries(${name}_ui PUBLIC ${name} ${L_UI_LINKS})
  endif()
endfunction()
