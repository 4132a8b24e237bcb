# find_package(GTest) for cross builds: builds GoogleTest for the target from
# Debian's source package, once per build tree, and offers the same targets
# as an installed GoogleTest (GTest::gtest, GTest::gtest_main, GTest::gmock,
# GTest::gmock_main). Only what the tests link is built.
set(_gtest_source /usr/src/googletest)
if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${_gtest_source}/CMakeLists.txt)
    set(GTest_FOUND FALSE)
    set(GTest_NOT_FOUND_MESSAGE "GoogleTest sources missing: apt-get install googletest")
    return()
  endif()
  set(INSTALL_GTEST OFF)
  set(BUILD_GMOCK ON)
  add_subdirectory(${_gtest_source} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()
set(GTest_FOUND TRUE)
