# Helpers shared by the folder CMakeLists.
set_property(GLOBAL PROPERTY GSE_OBJECT_LIBS "")

set(GSE_QT_LIBS Qt6::Core Qt6::Network Qt6::Core5Compat fmt::fmt Boost::headers)

# gse_folder_library(<name>): one object library from every source of the folder.
function(gse_folder_library name)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  list(FILTER srcs EXCLUDE REGEX "/main_[^/]*\\.cpp$")
  set(cpps ${srcs})
  list(FILTER cpps INCLUDE REGEX "\\.cpp$")
  if(NOT cpps)
    return()
  endif()
  add_library(${name} OBJECT ${srcs})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${GSE_QT_LIBS} ${ARGN})
  target_compile_definitions(${name} PRIVATE QT_STATICPLUGIN GSE_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  set_property(GLOBAL APPEND PROPERTY GSE_OBJECT_LIBS ${name})
endfunction()

# The one shared library made of every folder's objects.
function(gse_finish_library)
  get_property(libs GLOBAL PROPERTY GSE_OBJECT_LIBS)
  set(objs "")
  foreach(l ${libs})
    list(APPEND objs $<TARGET_OBJECTS:${l}>)
  endforeach()
  add_library(praxa SHARED ${objs})
  target_include_directories(praxa PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(praxa PUBLIC ${GSE_QT_LIBS} ${CMAKE_DL_LIBS})
  set_target_properties(praxa PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/lib)
endfunction()
