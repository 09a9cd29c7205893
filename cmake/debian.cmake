# The Debian packages, made by `cpack -G DEB` (scripts/package.sh configures a plain build and
# runs it): libvarnel0, libvarnel-dev, varnel-tools and python3-varnel from the install
# components. Debian policy wants a copyright file and a changelog in every package, the library
# package a shlibs file (CPack writes it with GENERATE_SHLIBS) and the ldconfig trigger, and
# dependencies from dpkg-shlibdeps rather than a hand-written list that would go stale with
# FFmpeg's sonames.
set(VARNEL_PACKAGE_CONTACT "varnel maintainers <maintainers@users.noreply.c-seed-6c590e2d.example>"
    CACHE STRING "Maintainer of the Debian packages")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tools python)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VARNEL_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.invalid/varnel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libvarnel0)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvarnel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME varnel-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-varnel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy")
# The tools find the library of the lib component while dpkg-shlibdeps looks at them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})

# Lines of the long descriptions stay below 80 characters, as Debian's tools show them.
set(CPACK_COMPONENT_LIB_DESCRIPTION "playback of networked video recorder recordings
libvarnel plays recordings stored on a networked video recorder through
a plain C interface: one stream or several channels in step, at any
speed, forward and in reverse, with pictures handed to the host as
24-bit BGR.")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "playback of networked video recorder recordings (Python 3)
The Python package varnel: varnel.open and varnel.open_channels give the
pictures of a recording as numpy arrays, through libvarnel.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "playback of networked video recorder recordings (development files)
The header varnel/varnel.h, the link to the shared library, a pkg-config
file (varnel) and a CMake package: find_package(varnel) gives the target
varnel::varnel.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "player and substitute recorder for libvarnel
varnel-play plays a recording from a recorder and writes a contact sheet
of what it saw; varnel-recorder serves sample video files the way a
networked video recorder does.")

# The changelog (of a native package: no Debian revision) names the version and points to the
# interface changes.
string(TIMESTAMP VARNEL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(component lib dev tools python)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(dir ${PROJECT_BINARY_DIR}/debian/${package})
  file(WRITE ${dir}/changelog
       "varnel (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * Release ${PROJECT_VERSION}; the interface changes are in docs/api-changes.md.\n\n"
       " -- ${VARNEL_PACKAGE_CONTACT}  ${VARNEL_CHANGELOG_DATE}\n")
  execute_process(COMMAND gzip -9nf ${dir}/changelog)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${dir}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component}
          EXCLUDE_FROM_ALL)
endforeach()
install(FILES docs/api-changes.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libvarnel-dev
        COMPONENT dev)

include(CPack)
cpack_add_component(lib)
cpack_add_component(dev DEPENDS lib)
cpack_add_component(tools DEPENDS lib)
cpack_add_component(python DEPENDS lib)
