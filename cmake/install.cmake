# What `cmake --install` puts into a prefix for an app's build: the public headers under
# include/zekcore/, the static and the shared library, a CMake package and a pkg-config
# file. Both descriptions carry the dependencies an app must link with the static library,
# and give every app only the include folder of zekcore's own header.
include(CMakePackageConfigHelpers)

set(ZEK_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zekcore)
set(ZEK_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/src/libzekcore.h)
if(ZEK_HAVE_OBJC)
  # In the tree the facade includes the C API by its source path; installed, the two
  # headers sit side by side.
  set(facade ${PROJECT_SOURCE_DIR}/src/platform/ios/zekcoreAdapter.h)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${facade})
  file(READ ${facade} text)
  string(REPLACE "#include \"src/libzekcore.h\"" "#include \"libzekcore.h\"" installed "${text}")
  if(installed STREQUAL text)
    message(FATAL_ERROR "zekcoreAdapter.h no longer includes src/libzekcore.h: update ${CMAKE_CURRENT_LIST_FILE}")
  endif()
  file(WRITE ${PROJECT_BINARY_DIR}/zekcoreAdapter.h.new "${installed}")
  configure_file(${PROJECT_BINARY_DIR}/zekcoreAdapter.h.new
    ${PROJECT_BINARY_DIR}/include/zekcore/zekcoreAdapter.h COPYONLY)
  list(APPEND ZEK_PUBLIC_HEADERS ${PROJECT_BINARY_DIR}/include/zekcore/zekcoreAdapter.h)
endif()
install(FILES ${ZEK_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zekcore)

install(TARGETS zekcore zekcore_shared EXPORT zekcoreTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT zekcoreTargets NAMESPACE zekcore:: DESTINATION ${ZEK_CMAKE_PACKAGE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/zekcoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zekcoreConfig.cmake INSTALL_DESTINATION ${ZEK_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zekcoreConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/zekcoreConfig.cmake
  ${PROJECT_BINARY_DIR}/zekcoreConfigVersion.cmake
  ${PROJECT_SOURCE_DIR}/cmake/zekcoreDependencies.cmake
  DESTINATION ${ZEK_CMAKE_PACKAGE_DIR})

# The .pc file finds the prefix from its own place, so the prefix given to
# `cmake --install --prefix` holds whatever was configured.
file(RELATIVE_PATH ZEK_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ZEK_PC_PREFIX_FROM_PCDIR "${ZEK_PC_PREFIX_FROM_PCDIR}")
list(JOIN ZEK_OBJC_LIBS " " ZEK_PC_OBJC_LIBS)
# JsonCpp goes in as a library, not as a package the .pc requires: pkg-config would hand
# every app JsonCpp's include folder too, which zekcore's header does not need.
# JsonCpp::JsonCpp names the library's own imported target.
get_target_property(ZEK_PC_JSONCPP JsonCpp::JsonCpp INTERFACE_LINK_LIBRARIES)
get_target_property(ZEK_PC_JSONCPP ${ZEK_PC_JSONCPP} LOCATION)
get_filename_component(ZEK_PC_JSONCPP ${ZEK_PC_JSONCPP} DIRECTORY)
if(ZEK_PC_JSONCPP IN_LIST CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES)
  set(ZEK_PC_JSONCPP "-ljsoncpp")
else()
  set(ZEK_PC_JSONCPP "-L${ZEK_PC_JSONCPP} -ljsoncpp")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/zekcore.pc.in ${PROJECT_BINARY_DIR}/zekcore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zekcore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
