# Settings shared by every target of the project.

# Windows 7 API level, Unicode off: the code calls the ...A functions by name.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
if(ORVI_LAB)
  add_compile_definitions(ORVI_LAB=1)
endif()

# Programs and the driver DLL carry their runtime, so Wine needs no mingw DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)

# Our own code builds warning-free; third-party code is compiled without these.
function(orvi_target_defaults target)
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX,C>:-Wall -Wextra -Wpedantic -Werror -Wshadow -Wconversion -Wno-sign-conversion
      -Wno-missing-field-initializers>)
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# orvi_library(name SOURCES ... [DEPS ...]): one static library per module.
function(orvi_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  orvi_target_defaults(${name})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# Converts a build-machine path to the path a Wine process sees (drive Z:).
function(orvi_wine_path out path)
  string(REPLACE "/" "\\\\" win "${path}")
  set(${out} "Z:${win}" PARENT_SCOPE)
endfunction()
