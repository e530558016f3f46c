# What `cmake --install` puts where, for hosts that build against vemnet:
#
#   include/vemnet/*.h                      the public headers
#   lib/libvemnet.so | bin/vemnet.dll       the library (+ lib/libvemnet.dll.a)
#   lib/cmake/vemnet/                       find_package(vemnet): vemnet::vemnet
#   lib/pkgconfig/vemnet.pc                 pkg-config --cflags --libs vemnet
#   bin/vemnet-cat                          the command-line client
#   bin/vemnet-gateway                      the HTTP session server (Linux)
#   lib/liblogger.so | bin/logger.dll       the optional logger module; a host
#                                           puts it beside its executable
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VEMNET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vemnet)

install(TARGETS vemnet EXPORT vemnetTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vemnet
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")

install(EXPORT vemnetTargets
  NAMESPACE vemnet::
  FILE vemnetTargets.cmake
  DESTINATION ${VEMNET_CMAKE_DIR})

# The config is small enough to write here rather than keep a template.
set(VEMNET_CONFIG_IN ${CMAKE_CURRENT_BINARY_DIR}/vemnetConfig.cmake.in)
file(WRITE ${VEMNET_CONFIG_IN} [=[
@PACKAGE_INIT@

# vemnet::vemnet: the shared library and its public headers
# (#include <vemnet/vemnet.h>). Hosts that start threads of their own link
# Threads::Threads themselves.
include("${CMAKE_CURRENT_LIST_DIR}/vemnetTargets.cmake")
check_required_components(vemnet)
]=])
configure_package_config_file(${VEMNET_CONFIG_IN}
  ${CMAKE_CURRENT_BINARY_DIR}/vemnetConfig.cmake
  INSTALL_DESTINATION ${VEMNET_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vemnetConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/vemnetConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/vemnetConfigVersion.cmake
  DESTINATION ${VEMNET_CMAKE_DIR})

# pkg-config: relative to the .pc file itself, so that an installed tree can
# be moved (and `cmake --install --prefix` may choose another place).
file(RELATIVE_PATH VEMNET_PC_TO_PREFIX
  /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
set(VEMNET_PC ${CMAKE_CURRENT_BINARY_DIR}/vemnet.pc)
file(WRITE ${VEMNET_PC}
"prefix=\${pcfiledir}/${VEMNET_PC_TO_PREFIX}
exec_prefix=\${prefix}
libdir=\${prefix}/${CMAKE_INSTALL_LIBDIR}
includedir=\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}

Name: vemnet
Description: Asynchronous socket frame, proxied TCP connections and HTTP polling connections
Version: ${PROJECT_VERSION}
Libs: -L\${libdir} -lvemnet
Cflags: -I\${includedir}
")
install(FILES ${VEMNET_PC} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(TARGET vemnet-cat)
  if(NOT WIN32)
    # bin/vemnet-cat finds lib/libvemnet.so wherever the tree is installed.
    file(RELATIVE_PATH VEMNET_BIN_TO_LIB
      /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
    set_target_properties(vemnet-cat PROPERTIES INSTALL_RPATH "\$ORIGIN/${VEMNET_BIN_TO_LIB}")
  endif()
  install(TARGETS vemnet-cat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET vemnet-gateway)
  install(TARGETS vemnet-gateway RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

if(TARGET logger)
  install(TARGETS logger
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()
