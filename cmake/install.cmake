# What `cmake --install` puts under the prefix, for C and C++ callers:
#   lib/libtrova.so*              the C-ABI library, soname libtrova.so.<major>
#   lib/libtrova.a                the same kernels static, NumPy's random
#                                 library merged in
#   include/trova/*.h             the public headers (#include <trova/trova.h>)
#   lib/cmake/trova/              find_package(trova CONFIG) -> trova::trova,
#                                 trova::trova_static
#   lib/pkgconfig/trova.pc        pkg-config --cflags --libs trova
# The extension module is not installed here.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# libtrova.a: the kernel archive and libnpyrandom.a merged, so a static link
# needs no path into NumPy's installation.
set(TROVA_MERGED_ARCHIVE ${PROJECT_BINARY_DIR}/install/libtrova.a)
add_custom_command(OUTPUT ${TROVA_MERGED_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -DOUTPUT=${TROVA_MERGED_ARCHIVE} -DAR=${CMAKE_AR}
          "-DINPUTS=$<TARGET_FILE:trova_static>;${TROVA_NPYRANDOM_LIB}"
          -P ${PROJECT_SOURCE_DIR}/cmake/merge_archive.cmake
  DEPENDS trova_static ${TROVA_NPYRANDOM_LIB} ${PROJECT_SOURCE_DIR}/cmake/merge_archive.cmake
  COMMENT "Merging the kernels and libnpyrandom.a into libtrova.a"
  VERBATIM)
add_custom_target(trova_static_merged ALL DEPENDS ${TROVA_MERGED_ARCHIVE})

install(TARGETS trova_shared
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${TROVA_MERGED_ARCHIVE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/trova FILES_MATCHING PATTERN "*.h")

set(TROVA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/trova)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/trovaConfig.cmake.in
  ${PROJECT_BINARY_DIR}/install/trovaConfig.cmake
  INSTALL_DESTINATION ${TROVA_CMAKE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/install/trovaConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/install/trovaConfig.cmake
              ${PROJECT_BINARY_DIR}/install/trovaConfigVersion.cmake
  DESTINATION ${TROVA_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so the tree can be
# installed under any --prefix.
file(RELATIVE_PATH TROVA_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" TROVA_PC_TO_PREFIX "${TROVA_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/trova.pc.in ${PROJECT_BINARY_DIR}/install/trova.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/install/trova.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Both libraries carry NumPy's random library inside: its licence goes with
# this library's own.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/trova)
if(TROVA_NUMPY_LICENSE)
  install(FILES ${TROVA_NUMPY_LICENSE} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/trova
    RENAME LICENSE.numpy)
endif()
