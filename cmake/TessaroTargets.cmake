# Helpers that keep each folder's CMakeLists.txt to a few lines.

set(TESSARO_WARNINGS -Wall -Wextra -Wformat=2 -Wshadow $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>
    -Wno-unused-parameter)
if(TESSARO_WERROR)
  list(APPEND TESSARO_WARNINGS -Werror)
endif()

# Frame pointers everywhere, leaf functions included, so that a crash report
# still reaches the caller of the function that faulted when an image has no
# usable call-frame information for it.
include(CheckCXXCompilerFlag)
add_compile_options(-fno-omit-frame-pointer)
check_cxx_compiler_flag(-mno-omit-leaf-frame-pointer TESSARO_HAS_LEAF_FRAME_POINTER)
if(TESSARO_HAS_LEAF_FRAME_POINTER)
  add_compile_options(-mno-omit-leaf-frame-pointer)
endif()

if(TESSARO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(TESSARO_TSAN)
  # The runtimes cannot share a process with AddressSanitizer's.
  if(TESSARO_SANITIZE OR TESSARO_FUZZ)
    message(FATAL_ERROR "TESSARO_TSAN excludes TESSARO_SANITIZE and TESSARO_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
endif()
if(TESSARO_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address)
endif()

# add_subdirectory() for `dir` when it has a CMakeLists.txt, and the same for
# every folder below it, so a piece of work only ever adds its own folder.
function(tessaro_add_subdirs dir)
  if(EXISTS ${PROJECT_SOURCE_DIR}/${dir}/CMakeLists.txt)
    add_subdirectory(${PROJECT_SOURCE_DIR}/${dir} ${PROJECT_BINARY_DIR}/${dir})
  endif()
  file(GLOB children RELATIVE ${PROJECT_SOURCE_DIR}/${dir} ${PROJECT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${dir}/${child} AND NOT child MATCHES "^(data|corpus|fixtures)$")
      tessaro_add_subdirs(${dir}/${child})
    endif()
  endforeach()
endfunction()

function(_tessaro_collect out)
  cmake_parse_arguments(A "" "" "DIRS;EXCLUDE;EXTRA" ${ARGN})
  if(NOT A_DIRS)
    set(A_DIRS .)
  endif()
  set(srcs)
  foreach(d IN LISTS A_DIRS)
    # Normalised, so that EXCLUDE matches files of the default "." folder too.
    get_filename_component(dir ${d} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c)
    list(APPEND srcs ${found})
  endforeach()
  foreach(x IN LISTS A_EXCLUDE)
    get_filename_component(abs ${x} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    list(REMOVE_ITEM srcs ${abs})
  endforeach()
  foreach(x IN LISTS A_EXTRA)
    get_filename_component(abs ${x} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    if(EXISTS ${abs})
      list(APPEND srcs ${abs})
    endif()
  endforeach()
  list(SORT srcs)
  set(${out} ${srcs} PARENT_SCOPE)
endfunction()

# tessaro_library(<name> [DIRS d...] [EXCLUDE f...] [EXTRA f...] [DEPS t...])
# Static library tessaro_<name> from the .cpp/.c files of DIRS (default: this
# folder). Everything includes from src/, e.g. "Crypto/AesCipher.h".
function(tessaro_library name)
  cmake_parse_arguments(A "" "" "DIRS;EXCLUDE;EXTRA;DEPS" ${ARGN})
  _tessaro_collect(srcs DIRS ${A_DIRS} EXCLUDE ${A_EXCLUDE} EXTRA ${A_EXTRA})
  set(t tessaro_${name})
  if(srcs)
    add_library(${t} STATIC ${srcs})
    target_include_directories(${t} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src)
    target_compile_options(${t} PRIVATE ${TESSARO_WARNINGS})
    target_link_libraries(${t} PUBLIC ${A_DEPS} Threads::Threads)
  else()
    add_library(${t} INTERFACE)
    target_include_directories(${t} INTERFACE ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src)
    target_link_libraries(${t} INTERFACE ${A_DEPS} Threads::Threads)
  endif()
  add_library(tessaro::${name} ALIAS ${t})
endfunction()

# tessaro_test(<name> [DIRS d...] LIBS t... [LABELS l...] [PROPERTIES ...])
# One GoogleTest program test_<name> from this folder's sources, discovered
# into CTest with the given labels (default: unit).
function(tessaro_test name)
  cmake_parse_arguments(A "" "" "DIRS;EXCLUDE;EXTRA;LIBS;LABELS" ${ARGN})
  _tessaro_collect(srcs DIRS ${A_DIRS} EXCLUDE ${A_EXCLUDE} EXTRA ${A_EXTRA})
  if(NOT A_LABELS)
    set(A_LABELS unit)
  endif()
  set(t test_${name})
  if(NOT srcs)
    return()
  endif()
  add_executable(${t} ${srcs})
  target_compile_options(${t} PRIVATE ${TESSARO_WARNINGS})
  target_link_libraries(${t} PRIVATE ${A_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${t} PRIVATE
    TESSARO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" TESSARO_BINARY_DIR="${PROJECT_BINARY_DIR}"
    TESSARO_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
  # Labels go on the folder: a list given through the discovery's
  # properties would keep only its first element.
  set_property(DIRECTORY APPEND PROPERTY LABELS ${A_LABELS})
  gtest_discover_tests(${t} DISCOVERY_TIMEOUT 60)
endfunction()

# tessaro_bench(<name> [DIRS d...] LIBS t...): a Google Benchmark program
# bench_<name>; `make bench` runs every one of them.
function(tessaro_bench name)
  cmake_parse_arguments(A "" "" "DIRS;EXCLUDE;EXTRA;LIBS" ${ARGN})
  _tessaro_collect(srcs DIRS ${A_DIRS} EXCLUDE ${A_EXCLUDE} EXTRA ${A_EXTRA})
  set(t bench_${name})
  if(NOT srcs)
    return()
  endif()
  add_executable(${t} ${srcs})
  target_compile_options(${t} PRIVATE ${TESSARO_WARNINGS})
  target_link_libraries(${t} PRIVATE ${A_LIBS} benchmark::benchmark)
  set_target_properties(${t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bench-bin)
endfunction()

# tessaro_fuzzer(<name> SOURCES f... LIBS t...): libFuzzer target fuzz_<name>,
# corpus seeds in this folder's corpus/<name>/ when present.
function(tessaro_fuzzer name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  set(t fuzz_${name})
  add_executable(${t} ${A_SOURCES})
  target_link_libraries(${t} PRIVATE ${A_LIBS})
  target_link_options(${t} PRIVATE -fsanitize=fuzzer,address)
  set_target_properties(${t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzz-bin)
endfunction()

# tessaro_tsan_test(<name> SOURCES f... LIBS t... [LABELS l...]): the test
# sources and every source of LIBS and of the project libraries below them,
# compiled once more with -fsanitize=thread into test_<name>_tsan (tests
# "tsan.*"). A sanitizer sees races only in code it instrumented, so nothing
# of ours comes from the ordinary static libraries. tests/support is made
# after the test folders: its sources go in SOURCES.
function(tessaro_tsan_test name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  if(TESSARO_SANITIZE OR TESSARO_FUZZ OR TESSARO_TSAN OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
  endif()
  set(srcs)
  set(external)
  set(includes)
  set(defines)
  set(seen)
  set(pending ${A_LIBS})
  while(pending)
    list(POP_FRONT pending lib)
    if(lib IN_LIST seen OR NOT TARGET ${lib})
      continue()
    endif()
    list(APPEND seen ${lib})
    get_target_property(type ${lib} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(deps ${lib} INTERFACE_LINK_LIBRARIES)
    else()
      get_target_property(s ${lib} SOURCES)
      get_target_property(dir ${lib} SOURCE_DIR)
      get_target_property(bin ${lib} BINARY_DIR)
      foreach(f IN LISTS s)
        if(IS_ABSOLUTE ${f})
          list(APPEND srcs ${f})
        elseif(EXISTS ${dir}/${f})
          list(APPEND srcs ${dir}/${f})
        else()
          list(APPEND srcs ${bin}/${f})
        endif()
      endforeach()
      get_target_property(deps ${lib} LINK_LIBRARIES)
      list(APPEND defines $<TARGET_PROPERTY:${lib},COMPILE_DEFINITIONS>)
    endif()
    list(APPEND includes $<TARGET_PROPERTY:${lib},INTERFACE_INCLUDE_DIRECTORIES>)
    foreach(d IN LISTS deps)
      if(d MATCHES "^tessaro_")
        list(APPEND pending ${d})
      elseif(d)
        list(APPEND external ${d})
      endif()
    endforeach()
  endwhile()
  list(REMOVE_DUPLICATES srcs)
  list(REMOVE_DUPLICATES external)
  set(t test_${name}_tsan)
  add_executable(${t} ${A_SOURCES} ${srcs})
  target_include_directories(${t} PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/src
                             ${PROJECT_SOURCE_DIR}/tests ${includes})
  target_compile_definitions(${t} PRIVATE ${defines}
    TESSARO_SOURCE_DIR="${PROJECT_SOURCE_DIR}" TESSARO_BINARY_DIR="${PROJECT_BINARY_DIR}"
    TESSARO_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data")
  target_compile_options(${t} PRIVATE -fsanitize=thread -O1 -g)
  target_link_options(${t} PRIVATE -fsanitize=thread)
  target_link_libraries(${t} PRIVATE ${external} GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  # Labels on the folder: a list inside the discovery's properties keeps only
  # its first element.
  set_property(DIRECTORY APPEND PROPERTY LABELS ${A_LABELS} nosan)
  gtest_discover_tests(${t} TEST_PREFIX "tsan."
                       PROPERTIES ENVIRONMENT "TSAN_OPTIONS=halt_on_error=1" DISCOVERY_TIMEOUT 60)
endfunction()
