# Helpers shared by every folder's CMakeLists.txt.

# Layers may only link downwards: common <- core <- platform <- gui <- app.
# tarni_layer_library(NAME DIR [LINKS ...]) builds a static library from every
# source file below DIR, so adding a file to an area needs no edit here.
function(tarni_layer_library name dir)
  cmake_parse_arguments(ARG "" "" "LINKS;PRIVATE_LINKS" ${ARGN})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
       ${dir}/*.cpp ${dir}/*.h)
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LINKS} PRIVATE ${ARG_PRIVATE_LINKS})
endfunction()

# tarni_add_gtest(NAME SOURCES ... LIBS ... [LABEL label] [TIMEOUT s])
# One executable per unit; every TEST() becomes its own ctest entry, run with
# QT_QPA_PLATFORM=offscreen. Discovered tests cannot carry list-valued
# properties (the discovery script splits them), so there is one label at
# most, and a test that needs more environment sets it itself.
include(GoogleTest)
function(tarni_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT;LABEL" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(properties TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  if(ARG_LABEL)
    list(APPEND properties LABELS ${ARG_LABEL})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${properties})
endfunction()

# Adds every immediate sub-folder of the current folder that has a CMakeLists.txt.
function(tarni_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# Fails the configuration when `target` links (directly) any of the given
# libraries: keeps the layers pointing one way.
function(tarni_forbid_links target)
  if(NOT TARGET ${target})
    return()
  endif()
  get_target_property(links ${target} LINK_LIBRARIES)
  foreach(forbidden ${ARGN})
    foreach(link ${links})
      if(link MATCHES "${forbidden}")
        message(FATAL_ERROR "${target} must not link ${link}: see the layer rules in cmake/TarniTargets.cmake")
      endif()
    endforeach()
  endforeach()
endfunction()
