# Debian packages with CPack, one per install component, split the Debian
# way: libzembrel0 (the runtime library), libzembrel-dev (headers,
# zembrel.pc, the CMake package, the API reference), zembrel (the two
# programs, thumbtool's modules, the man pages) and python3-zembrel.
# scripts/package builds them into dist/.

set(ZEMBREL_SOVERSION ${PROJECT_VERSION_MAJOR})
set(deb_runtime libzembrel${ZEMBREL_SOVERSION})
set(deb_dev libzembrel-dev)
set(deb_cli zembrel)
set(deb_python python3-zembrel)

# Every Debian package carries its copyright and changelog.
if(ZEMBREL_DEBIAN_DOCS)
  set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
  # Honours SOURCE_DATE_EPOCH, for reproducible packages.
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in
    ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
  add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/packaging/changelog > ${changelog}
    DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog VERBATIM)
  add_custom_target(zembrel_debian_changelog ALL DEPENDS ${changelog})
  foreach(component runtime dev cli python)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${deb_${component}} COMPONENT ${component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zembrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Zembrel developers")
set(CPACK_PACKAGE_CONTACT "The Zembrel project <maintainers@zembrel.org>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/cpack)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev cli python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Dependencies of the binaries come from dpkg-shlibdeps; our own library is
# found in the build tree and named explicitly below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/zembrel)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# A shlibs file for the library (only libzembrel0 holds one): hosts built
# against this release need at least this release.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(exact "(= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${deb_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "upload and credentials library for desktop hosts
libzembrel uploads files over HTTP (a streamed form POST with progress, and
a simple GET or POST) and FTP (uploads with progress and cancel, listings,
directory creation and removal), keeps passwords in the user's keyring
through the Secret Service, digests strings with MD5 and reduces XML
answers to their elements.

This package holds the shared library, with a stable C interface and a
C++ class.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${deb_dev})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${deb_runtime} ${exact}")
set(CPACK_COMPONENT_DEV_DESCRIPTION "upload and credentials library for desktop hosts - development files
libzembrel uploads files over HTTP and FTP, lists and edits FTP
directories, keeps passwords in the user's keyring and reduces XML answers
to their elements.

This package holds the C header zembrel/zembrel.h, the C++ headers, the
pkg-config file, the CMake package (find_package(Zembrel)) and the API
reference.")

set(CPACK_DEBIAN_CLI_PACKAGE_NAME ${deb_cli})
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION net)
set(CPACK_DEBIAN_CLI_PACKAGE_DEPENDS "${deb_runtime} ${exact}, shared-mime-info")
# thumbtool's icon fallback and its sandbox for external thumbnailers.
set(CPACK_DEBIAN_CLI_PACKAGE_RECOMMENDS "adwaita-icon-theme, bubblewrap")
set(CPACK_COMPONENT_CLI_DESCRIPTION "command-line uploads over HTTP and FTP, and document thumbnails
zembrel posts files to web servers with live progress, uploads to and
manages FTP servers, keeps passwords in the desktop keyring and extracts
XML answers as JSON.

thumbtool writes a thumbnail of any document (photos, PDF, text, video
through the installed thumbnailers) as PNG, TIFF, BMP, GIF or JPEG.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${deb_python})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, ${deb_runtime} (>= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-gi")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "upload and credentials library for desktop hosts - Python 3
libzembrel uploads files over HTTP and FTP, lists and edits FTP
directories, keeps passwords in the user's keyring and reduces XML answers
to their elements.

This package holds the Python 3 module zembrel, which calls the library
through its C interface and works inside a GLib main loop (GTK
applications).")

include(CPack)
