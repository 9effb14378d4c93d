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

# The media module under the name the Windows trees give it.
set(ORVI_MEDIA_SOURCES audio_data.cpp file_bytes.cpp wav.cpp dsf.cpp dff.cpp dop.cpp)
list(TRANSFORM ORVI_MEDIA_SOURCES PREPEND ${PROJECT_SOURCE_DIR}/media/)
add_library(orvi_media STATIC ${ORVI_MEDIA_SOURCES})
target_include_directories(orvi_media PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(orvi_media PRIVATE -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion)

enable_testing()
include(GoogleTest)
add_executable(portable_tests ${PROJECT_SOURCE_DIR}/tests/asio/dop_detector_test.cpp)
target_link_libraries(portable_tests PRIVATE orvi_portable gtest_main)
gtest_discover_tests(portable_tests TEST_PREFIX "native." PROPERTIES TIMEOUT 60)

set(ORVI_MEDIA_TESTS wav_test.cpp dsf_test.cpp dff_test.cpp dop_test.cpp)
list(TRANSFORM ORVI_MEDIA_TESTS PREPEND ${PROJECT_SOURCE_DIR}/tests/media/)
add_executable(media_tests ${ORVI_MEDIA_TESTS})
target_link_libraries(media_tests PRIVATE orvi_media gtest_main)
gtest_discover_tests(media_tests TEST_PREFIX "native." PROPERTIES TIMEOUT 60)

# Test material and its verification.
add_library(orvi_material STATIC ${PROJECT_SOURCE_DIR}/tools/material/material.cpp)
target_link_libraries(orvi_material PUBLIC orvi_media)
target_compile_options(orvi_material PRIVATE -Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion)
add_executable(material_tests ${PROJECT_SOURCE_DIR}/tests/tools/material_test.cpp)
target_link_libraries(material_tests PRIVATE orvi_material gtest_main)
gtest_discover_tests(material_tests TEST_PREFIX "native." PROPERTIES TIMEOUT 60)
