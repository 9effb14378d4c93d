# Third-party code: Boost (header-only) and GoogleTest, both from Debian.

# Boost.JSON is used header-only. The cross compiler must see the boost headers
# and nothing else from /usr/include, so they are reached through a directory
# that holds a single link to them.
set(ORVI_BOOST_ROOT /usr/include/boost CACHE PATH "Boost headers (the 'boost' folder)")
if(NOT EXISTS ${ORVI_BOOST_ROOT}/json/src.hpp)
  message(FATAL_ERROR "Boost.JSON headers not found under ${ORVI_BOOST_ROOT}")
endif()
set(_boost_dir ${CMAKE_BINARY_DIR}/third_party/boost-include)
file(MAKE_DIRECTORY ${_boost_dir})
file(CREATE_LINK ${ORVI_BOOST_ROOT} ${_boost_dir}/boost SYMBOLIC)
add_library(orvi_boost INTERFACE)
target_include_directories(orvi_boost SYSTEM INTERFACE ${_boost_dir})
target_compile_definitions(orvi_boost INTERFACE BOOST_ALL_NO_LIB BOOST_JSON_NO_LIB BOOST_CONTAINER_NO_LIB)

if(ORVI_LAB)
  set(ORVI_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${ORVI_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL SYSTEM)
endif()
