# How the project's own targets are made: every module, program and test program gets C++20
# and the project's warnings (errors with TOVE_WERROR) on the target itself.

include(GNUInstallDirs)

# sparkler_target_defaults(<target>)
function(sparkler_target_defaults target)
  target_compile_features(${target} PUBLIC cxx_std_20)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic $<$<BOOL:${TOVE_WERROR}>:-Werror>)
endfunction()

# sparkler_add_module(<name> SOURCES <files...> [PUBLIC <deps...>] [PRIVATE <deps...>]
#                     [EXPORT_NAME <name>] [PACKAGE_PART <part>])
#
# The static library sparkler_<name>, also known as Sparkler::<name>, with its public headers in
# <name>/include and its sources and private headers in <name>/src. `cmake --install` puts the
# library in lib/ and the headers in include/sparkler/, and exports the target as
# Sparkler::<EXPORT_NAME> (default: <name>) in the export set of its package part: the core
# part unless PACKAGE_PART names another one (see SparklerPackage.cmake).
function(sparkler_add_module name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "EXPORT_NAME;PACKAGE_PART" "SOURCES;PUBLIC;PRIVATE")
  if(NOT arg_SOURCES)
    message(FATAL_ERROR "sparkler_add_module(${name}) needs SOURCES")
  endif()
  if(NOT arg_EXPORT_NAME)
    set(arg_EXPORT_NAME ${name})
  endif()
  set(target sparkler_${name})
  list(TRANSFORM arg_SOURCES PREPEND src/)
  add_library(${target} STATIC ${arg_SOURCES})
  add_library(Sparkler::${name} ALIAS ${target})
  if(NOT arg_EXPORT_NAME STREQUAL name)
    add_library(Sparkler::${arg_EXPORT_NAME} ALIAS ${target})
  endif()
  set_target_properties(${target} PROPERTIES
    POSITION_INDEPENDENT_CODE ON EXPORT_NAME ${arg_EXPORT_NAME})
  target_include_directories(${target}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
           $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
    PRIVATE src)
  target_link_libraries(${target} PUBLIC ${arg_PUBLIC} PRIVATE ${arg_PRIVATE})
  sparkler_target_defaults(${target})

  install(TARGETS ${target} EXPORT Sparkler${arg_PACKAGE_PART}Targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY include/sparkler DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
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
