# How the project's own targets are made: every module, program and test program gets C++20
# and the project's warnings (errors with TOVE_WERROR) on the target itself.

# sparkler_target_defaults(<target>)
function(sparkler_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${TOVE_WERROR}>:-Werror>)
endfunction()

# sparkler_add_module(<name> SOURCES <files...> [PUBLIC <deps...>] [PRIVATE <deps...>])
#
# The static library sparkler_<name>, also known as Sparkler::<name>, with its public headers in
# <name>/include and its sources and private headers in <name>/src.
function(sparkler_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;PUBLIC;PRIVATE")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "sparkler_add_module(${name}) needs SOURCES")
  endif()
  set(target sparkler_${name})
  list(TRANSFORM arg_SOURCES PREPEND src/)
  add_library(${target} STATIC ${arg_SOURCES})
  add_library(Sparkler::${name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON EXPORT_NAME ${name})
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:include>
    PRIVATE src)
  target_link_libraries(${target} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE})
  sparkler_target_defaults(${target})
endfunction()

# sparkler_add_test(<module> SOURCES <files...> [LIBRARIES <targets...>] [PROPERTIES <ctest properties...>])
#
# The test program <module>_tests; its GoogleTest cases become ctest tests named "<module>.<case>".
function(sparkler_add_test module)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "SOURCES;LIBRARIES;PROPERTIES")
  set(target ${module}_tests)
  add_executable(${target} ${arg_SOURCES})
  target_link_libraries(${target} PRIVATE ${arg_LIBRARIES} sparkler_test_support)
  sparkler_target_defaults(${target})
  gtest_discover_tests(${target} TEST_PREFIX "${module}." DISCOVERY_TIMEOUT 60
    PROPERTIES ${arg_PROPERTIES})
endfunction()
