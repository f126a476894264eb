# What `cmake --install` places, by component (the Debian packages follow the
# components): runtime = the shared library; dev = headers, zembrel.pc, the
# CMake package and the API reference; cli = the zembrel and thumbtool
# programs, thumbtool's modules and the man pages; python = the package.

include(CMakePackageConfigHelpers)

# ---- runtime and dev: the library, its headers, CMake package, pkg-config.
install(TARGETS zembrel EXPORT ZembrelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zembrel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev FILES_MATCHING PATTERN "*.h" PATTERN "*.hpp")

set(ZEMBREL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Zembrel)
install(EXPORT ZembrelTargets NAMESPACE Zembrel:: DESTINATION ${ZEMBREL_CMAKE_DIR}
  COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/ZembrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ZembrelConfig.cmake INSTALL_DESTINATION ${ZEMBREL_CMAKE_DIR})
# One SONAME per major version: a newer minor release serves older hosts.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ZembrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ZembrelConfig.cmake
  ${PROJECT_BINARY_DIR}/ZembrelConfigVersion.cmake DESTINATION ${ZEMBREL_CMAKE_DIR} COMPONENT dev)

# zembrel.pc is written at install time, so it names the prefix actually
# installed to (`cmake --install --prefix`), not the configured one.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(pc_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(pc_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
# zembrel.pc serves C and C++ hosts alike, so its Cflags cannot name a C++
# standard (C compilers refuse -std=c++20); zembrel-cxx.pc adds it for C++ hosts.
set(pc_files "")
foreach(pc zembrel zembrel-cxx)
  set(pc_file ${PROJECT_BINARY_DIR}/${pc}.pc)
  install(CODE "
    set(ZEMBREL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(ZEMBREL_PC_LIBDIR [==[${pc_LIBDIR}]==])
    set(ZEMBREL_PC_INCLUDEDIR [==[${pc_INCLUDEDIR}]==])
    set(ZEMBREL_PC_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in\" \"${pc_file}\" @ONLY)" COMPONENT dev)
  list(APPEND pc_files ${pc_file})
endforeach()
install(FILES ${pc_files} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# ---- cli: the programs. thumbtool finds its modules relative to its own
# folder, so the tree works from any prefix it is installed into. A new
# program or module of thumbtool is one more name here.
install(TARGETS zembrel_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
if(TARGET thumbtool)
  install(TARGETS thumbtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT cli)
  install(TARGETS thumbtool_pdf thumbtool_vips
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/thumbtool COMPONENT cli)
endif()
