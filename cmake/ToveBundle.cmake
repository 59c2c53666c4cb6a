# tove_add_bundle(<target> VERSION <version> FOLDER <folder>)
#
# Makes <folder>/Tove.app from the Tove executable and resources/, with <version> as its
# CFBundleShortVersionString; <target> is part of "all". The bundle holds no paths of the
# build tree, so it runs from wherever it is copied.
set(TOVE_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR}/../resources)

function(tove_add_bundle target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "VERSION;FOLDER" "")
  if(NOT arg_VERSION OR NOT arg_FOLDER)
    message(FATAL_ERROR "tove_add_bundle needs VERSION and FOLDER")
  endif()
  set(TOVE_PLIST_VERSION "${arg_VERSION}")
  set(TOVE_BUNDLE_EXECUTABLE Tove)
  set(plist ${CMAKE_CURRENT_BINARY_DIR}/${target}/Info.plist)
  configure_file(${TOVE_RESOURCES_DIR}/Info.plist.in ${plist} @ONLY)

  set(contents ${arg_FOLDER}/Tove.app/Contents)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}/bundle.stamp)
  # The bundle carries its disk image tool, which DMGExtractor looks for in Contents/Helpers.
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${contents}/MacOS ${contents}/Resources/Scripts
    COMMAND ${CMAKE_COMMAND} -E copy ${plist} ${contents}/Info.plist
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Tove> ${contents}/MacOS/Tove
    COMMAND ${CMAKE_COMMAND} -E copy ${TOVE_RESOURCES_DIR}/MainWindow.ui ${contents}/Resources/
    COMMAND ${CMAKE_COMMAND} -E copy ${TOVE_RESOURCES_DIR}/Scripts/bounce.sh
            ${contents}/Resources/Scripts/
    COMMAND ${CMAKE_COMMAND} -E make_directory ${contents}/Helpers
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:hdiutil> ${contents}/Helpers/
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS Tove ${plist} ${TOVE_RESOURCES_DIR}/MainWindow.ui ${TOVE_RESOURCES_DIR}/Scripts/bounce.sh
            hdiutil
    COMMENT "Making ${contents} (version ${arg_VERSION})"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${stamp})
endfunction()
