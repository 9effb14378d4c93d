# The native build: portable logic and its tests, on the build machine's own
# compiler, with AddressSanitizer and UndefinedBehaviorSanitizer.
set(ORVI_SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(${ORVI_SANITIZE})
add_link_options(${ORVI_SANITIZE})

set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL SYSTEM)

# Sources that use no Windows API.
add_library(orvi_portable STATIC ${PROJECT_SOURCE_DIR}/asio/dop_detector.cpp)
target_include_directories(orvi_portable PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(orvi_portable PRIVATE -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion)

enable_testing()
include(GoogleTest)
add_executable(portable_tests ${PROJECT_SOURCE_DIR}/tests/asio/dop_detector_test.cpp)
target_link_libraries(portable_tests PRIVATE orvi_portable gtest_main)
gtest_discover_tests(portable_tests TEST_PREFIX "native." PROPERTIES TIMEOUT 60)
