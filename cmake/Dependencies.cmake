# Third-party libraries, gathered in one interface target.
add_library(vemnet_deps INTERFACE)

if(WIN32)
  # Boost headers through a directory that holds only a link to them, so the
  # system's own include directory stays off the mingw include path.
  set(VEMNET_BOOST_SHIM ${CMAKE_BINARY_DIR}/boost-shim)
  if(NOT EXISTS ${VEMNET_BOOST_SHIM}/boost)
    file(MAKE_DIRECTORY ${VEMNET_BOOST_SHIM})
    file(CREATE_LINK /usr/include/boost ${VEMNET_BOOST_SHIM}/boost SYMBOLIC)
  endif()
  target_include_directories(vemnet_deps SYSTEM INTERFACE ${VEMNET_BOOST_SHIM})
  set(VEMNET_NTLM_PREFIX "" CACHE PATH "Where the mingw build of libntlm is installed")
  find_path(NTLM_INCLUDE_DIR ntlm.h HINTS ${VEMNET_NTLM_PREFIX}/include REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  find_library(NTLM_LIBRARY NAMES libntlm.a ntlm HINTS ${VEMNET_NTLM_PREFIX}/lib REQUIRED NO_CMAKE_FIND_ROOT_PATH)
  target_include_directories(vemnet_deps INTERFACE ${NTLM_INCLUDE_DIR})
  target_link_libraries(vemnet_deps INTERFACE ${NTLM_LIBRARY} ws2_32 wininet winhttp kernel32)
else()
  find_package(Boost REQUIRED)
  find_package(CURL REQUIRED)
  find_path(NTLM_INCLUDE_DIR ntlm.h REQUIRED)
  find_library(NTLM_LIBRARY ntlm REQUIRED)
  # io_uring, to batch the receives and sends of a frame cycle
  find_path(URING_INCLUDE_DIR liburing.h REQUIRED)
  find_library(URING_LIBRARY uring REQUIRED)
  target_include_directories(vemnet_deps INTERFACE ${NTLM_INCLUDE_DIR} ${Boost_INCLUDE_DIRS} ${URING_INCLUDE_DIR})
  target_link_libraries(vemnet_deps INTERFACE ${NTLM_LIBRARY} CURL::libcurl ${URING_LIBRARY} ${CMAKE_DL_LIBS})
endif()
