# The Sparkler package that `cmake --install` writes, for apps that embed the updater:
#   <prefix>/lib/libsparkler_*.a, <prefix>/include/sparkler/*.h   (sparkler_add_module)
#   <prefix>/bin/{sparkler,hdiutil}                               (tools/)
#   <prefix>/lib/cmake/Sparkler/                                  (here)
#   <prefix>/share/doc/Sparkler/LICENSE
# Included after every module and tool is defined.

include(CMakePackageConfigHelpers)

set(SPARKLER_VERSION ${PROJECT_VERSION})
set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Sparkler)

# What an app links: the updater and, through it, every module it runs on.
add_library(sparkler_sparkler INTERFACE)
target_link_libraries(sparkler_sparkler INTERFACE sparkler_updater)
set_target_properties(sparkler_sparkler PROPERTIES EXPORT_NAME Sparkler)
add_library(Sparkler::Sparkler ALIAS sparkler_sparkler)
install(TARGETS sparkler_sparkler EXPORT SparklerTargets)

install(EXPORT SparklerTargets NAMESPACE Sparkler:: DESTINATION ${package_dir})
if(SPARKLER_BUILD_QT)
  install(EXPORT SparklerQtTargets NAMESPACE Sparkler:: DESTINATION ${package_dir})
endif()

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/SparklerConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/SparklerConfig.cmake
  INSTALL_DESTINATION ${package_dir}
  NO_SET_AND_CHECK_MACRO)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/SparklerConfigVersion.cmake
  VERSION ${SPARKLER_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/package/SparklerConfig.cmake
  ${CMAKE_BINARY_DIR}/package/SparklerConfigVersion.cmake
  ${CMAKE_CURRENT_LIST_DIR}/SparklerBundle.cmake
  ${CMAKE_CURRENT_LIST_DIR}/SparklerInfo.plist.in
  DESTINATION ${package_dir})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/Sparkler)
