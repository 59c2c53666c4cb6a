# sparkler_add_bundle(<target> NAME <name> IDENTIFIER <id> VERSION <version>
#                     EXECUTABLE <executable target> [RESOURCES <files or folders...>]
#                     [PUBLIC_KEYS <keys...>] FOLDER <folder>)
#
# Makes <folder>/<name>.app, the bundle layout the updater installs and replaces:
#   Contents/Info.plist          CFBundleName <name>, CFBundleIdentifier <id>,
#                                CFBundleShortVersionString and CFBundleVersion <version>,
#                                CFBundleExecutable the executable's file name; with
#                                PUBLIC_KEYS, SparklerPublicKeys: the keys (base64 Ed25519
#                                public keys, as `sparkler keygen` prints them) whose
#                                signature the updater requires on the update manifest
#   Contents/MacOS/<executable>
#   Contents/Resources/...       each file of RESOURCES, and each folder with its contents
#   Contents/Helpers/hdiutil     the disk image tool (Sparkler::hdiutil) installations use
# <target> is part of "all". The bundle holds no path of the build tree or of the package, so
# it runs from wherever it is copied.
#
# Installed with the Sparkler package; the Sparkler tree makes its own app (Tove) with it too.

set_property(GLOBAL PROPERTY SPARKLER_BUNDLE_PLIST_TEMPLATE
  ${CMAKE_CURRENT_LIST_DIR}/SparklerInfo.plist.in)

function(sparkler_add_bundle target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "NAME;IDENTIFIER;VERSION;EXECUTABLE;FOLDER"
    "RESOURCES;PUBLIC_KEYS")
  foreach(required NAME IDENTIFIER VERSION EXECUTABLE FOLDER)
    if(NOT arg_${required})
      message(FATAL_ERROR "sparkler_add_bundle(${target}) needs ${required}")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "sparkler_add_bundle(${target}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET ${arg_EXECUTABLE})
    message(FATAL_ERROR "sparkler_add_bundle(${target}): ${arg_EXECUTABLE} is not a target")
  endif()
  if(NOT TARGET Sparkler::hdiutil)
    message(FATAL_ERROR "sparkler_add_bundle(${target}): no Sparkler::hdiutil to put in the bundle")
  endif()

  # A key that does not read as one would make the bundle's every update check fail: refused
  # here, at the maker's, rather than there.
  set(SPARKLER_BUNDLE_PUBLIC_KEYS "")
  if(arg_PUBLIC_KEYS)
    string(APPEND SPARKLER_BUNDLE_PUBLIC_KEYS "\t<key>SparklerPublicKeys</key>\n\t<array>\n")
    foreach(key IN LISTS arg_PUBLIC_KEYS)
      string(LENGTH "${key}" length)
      if(NOT length EQUAL 44 OR NOT key MATCHES "^[A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
        message(FATAL_ERROR "sparkler_add_bundle(${target}): \"${key}\" is not a public key "
                            "(the base64 line `sparkler keygen` prints)")
      endif()
      string(APPEND SPARKLER_BUNDLE_PUBLIC_KEYS "\t\t<string>${key}</string>\n")
    endforeach()
    string(APPEND SPARKLER_BUNDLE_PUBLIC_KEYS "\t</array>\n")
  endif()
  # The plist names the executable's file; its name is known only at generation time.
  get_property(template GLOBAL PROPERTY SPARKLER_BUNDLE_PLIST_TEMPLATE)
  set(SPARKLER_BUNDLE_NAME "${arg_NAME}")
  set(SPARKLER_BUNDLE_IDENTIFIER "${arg_IDENTIFIER}")
  set(SPARKLER_BUNDLE_VERSION "${arg_VERSION}")
  set(SPARKLER_BUNDLE_EXECUTABLE "$<TARGET_FILE_NAME:${arg_EXECUTABLE}>")
  set(work ${CMAKE_CURRENT_BINARY_DIR}/${target})
  configure_file(${template} ${work}/Info.plist.in @ONLY)
  file(GENERATE OUTPUT ${work}/Info.plist INPUT ${work}/Info.plist.in)

  set(contents ${arg_FOLDER}/${arg_NAME}.app/Contents)
  set(copies)
  set(inputs)
  foreach(resource IN LISTS arg_RESOURCES)
    get_filename_component(resource ${resource} ABSOLUTE)
    get_filename_component(leaf ${resource} NAME)
    if(IS_DIRECTORY ${resource})
      list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy_directory ${resource}
                                 ${contents}/Resources/${leaf})
      file(GLOB_RECURSE files LIST_DIRECTORIES false ${resource}/*)
      list(APPEND inputs ${files})
    elseif(EXISTS ${resource})
      list(APPEND copies COMMAND ${CMAKE_COMMAND} -E copy ${resource} ${contents}/Resources/)
      list(APPEND inputs ${resource})
    else()
      message(FATAL_ERROR "sparkler_add_bundle(${target}): no resource ${resource}")
    endif()
  endforeach()

  set(stamp ${work}/bundle.stamp)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${contents}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${contents}/MacOS ${contents}/Resources
                                               ${contents}/Helpers
    COMMAND ${CMAKE_COMMAND} -E copy ${work}/Info.plist ${contents}/Info.plist
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:${arg_EXECUTABLE}> ${contents}/MacOS/
    ${copies}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:Sparkler::hdiutil> ${contents}/Helpers/hdiutil
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${arg_EXECUTABLE} $<TARGET_FILE:Sparkler::hdiutil> ${work}/Info.plist ${inputs}
    COMMENT "Making ${contents} (version ${arg_VERSION})"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${stamp})
  # Generators other than Ninja order the tool's build only through a target dependency.
  get_target_property(tool Sparkler::hdiutil ALIASED_TARGET)
  if(tool)
    add_dependencies(${target} ${tool})
  endif()
endfunction()
