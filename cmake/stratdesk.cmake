# One function per kind of target, so every module gets the same warnings and sanitizer flags
# without touching global compile options (third-party headers stay out of our warnings).

option(STRATDESK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(STRATDESK_FUZZ "Build the libFuzzer targets (clang; implies the sanitizers)" OFF)
# Warnings are errors where the compiler is known (CI, `make test`); a user's newer compiler may
# warn about something new without breaking `make run`.
option(STRATDESK_WERROR "Treat compiler warnings as errors" OFF)
if(STRATDESK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "STRATDESK_FUZZ needs clang (CXX=clang++)")
  endif()
  set(STRATDESK_SANITIZE ON)
endif()

function(stratdesk_sanitize target)
  if(STRATDESK_SANITIZE)
    target_compile_options(${target} PUBLIC -fsanitize=address,undefined -fno-omit-frame-pointer
                                            -fno-sanitize-recover=undefined)
    target_link_options(${target} PUBLIC -fsanitize=address,undefined)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      # Clang 14 cannot emit the function-type check of coroutine parts ("Cannot represent a
      # difference across sections"); the other undefined-behaviour checks stay on.
      target_compile_options(${target} PUBLIC -fno-sanitize=function)
    endif()
  endif()
  if(STRATDESK_FUZZ)
    # Coverage feedback for the fuzzers from every library they reach.
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

function(stratdesk_apply_flags target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(STRATDESK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 pairs the sized operator delete of an Asio coroutine frame with the wrong
    # allocation function when it inlines a coroutine's destruction: a false report.
    target_compile_options(${target} PRIVATE -Wno-mismatched-new-delete)
  endif()
  if(STRATDESK_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports false maybe-uninitialized warnings inside inlined Boost code once the
    # sanitizers change its flow analysis; the plain build keeps the warning.
    target_compile_options(${target} PRIVATE -Wno-maybe-uninitialized)
  endif()
  stratdesk_sanitize(${target})
endfunction()

# stratdesk_module(<name> SOURCES ... DEPS ...): a static library whose public headers live in
# <folder>/include/<name>/; DEPS are the only modules whose headers and symbols it may use.
function(stratdesk_module name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  stratdesk_apply_flags(${name})
endfunction()

# stratdesk_test(<name> SOURCES ... DEPS ...): a GoogleTest executable registered with ctest;
# its tests get the properties listed in STRATDESK_TEST_PROPERTIES too.
function(stratdesk_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gtest_main)
  stratdesk_apply_flags(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300 ${STRATDESK_TEST_PROPERTIES})
endfunction()

# stratdesk_embed_files(<out_var> NAMESPACE <ns> COMMENT <text> FILES ...): generates a source
# defining `<ns>::embedded_files` with the files' names and contents (cmake/embed_files.cmake),
# regenerated when a file changes; its path goes to <out_var>.
function(stratdesk_embed_files out_var)
  cmake_parse_arguments(ARG "" "NAMESPACE;COMMENT" "FILES" ${ARGN})
  set(generated ${CMAKE_CURRENT_BINARY_DIR}/embedded_files.cpp)
  add_custom_command(
    OUTPUT ${generated}
    COMMAND ${CMAKE_COMMAND} -DOUTPUT=${generated} -DNAMESPACE=${ARG_NAMESPACE}
            "-DFILES=${ARG_FILES}" -P ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
    DEPENDS ${ARG_FILES} ${PROJECT_SOURCE_DIR}/cmake/embed_files.cmake
    COMMENT "${ARG_COMMENT}"
    VERBATIM)
  set(${out_var} ${generated} PARENT_SCOPE)
endfunction()
