# GoogleTest for the client built on its own: an installed package if there is one, else
# Debian's sources (package googletest), built for whichever target this tree builds for.
find_package(GTest CONFIG QUIET)
if(NOT TARGET GTest::gtest_main)
  set(KESTRUNE_GTEST_SRC /usr/src/googletest CACHE PATH "GoogleTest sources")
  if(NOT EXISTS ${KESTRUNE_GTEST_SRC}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install googletest (sources) or libgtest-dev")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(${KESTRUNE_GTEST_SRC} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
