# What an install holds, in four components that become the four Debian packages:
#   lib     the shared library alone (libvarnel0), what a program needs at run time;
#   dev     header, the unversioned link, pkg-config and CMake files (libvarnel-dev);
#   tools   varnel-play and varnel-recorder with their man pages (varnel-tools);
#   python  the Python package varnel, which loads the library by its SONAME (python3-varnel).
include(CMakePackageConfigHelpers)
set(VARNEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varnel)

install(TARGETS varnel EXPORT varnelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev)
install(FILES include/varnel/varnel.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/varnel COMPONENT dev)
file(RELATIVE_PATH VARNEL_PC_UP "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/varnel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/varnel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varnel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
        COMPONENT dev)

# find_package(varnel 0.1 CONFIG) gives varnel::varnel with the include folder. The library's
# FFmpeg, SDL and thread dependencies are private to the shared object, so the package needs no
# find_dependency. Same major version only: a host built for 0.x must not take a 1.x library.
install(EXPORT varnelTargets NAMESPACE varnel:: DESTINATION ${VARNEL_CMAKE_DIR} COMPONENT dev)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/varnelConfig.cmake
     "include(\"\${CMAKE_CURRENT_LIST_DIR}/varnelTargets.cmake\")\n")
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/varnelConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/varnelConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/varnelConfigVersion.cmake
        DESTINATION ${VARNEL_CMAKE_DIR} COMPONENT dev)

install(TARGETS varnel-play varnel-recorder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT tools)

# Man pages from the programs' own --help, so that they can never tell another story than the
# programs. help2man runs the programs from the build folder, so it needs no installed library.
# Sanitized and fuzzing builds, which are never installed, make none: a sanitizer's report at
# the program's exit would fail their build.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT VARNEL_SANITIZE AND NOT VARNEL_FUZZ)
  set(pages)
  foreach(tool play recorder)
    set(page ${PROJECT_BINARY_DIR}/man/varnel-${tool}.1)
    if(tool STREQUAL "play")
      set(what "play a recording from a networked video recorder through libvarnel")
    else()
      set(what "a substitute networked video recorder serving sample files")
    endif()
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${PROJECT_VERSION}
              --name=${what} --output=${page} $<TARGET_FILE:varnel-${tool}>
      COMMAND gzip -9nf ${page}
      DEPENDS varnel-${tool}
      COMMENT "Man page of varnel-${tool}")
    list(APPEND pages ${page}.gz)
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${pages})
  install(FILES ${pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
elseif(NOT HELP2MAN)
  message(STATUS "help2man not found: no man pages (scripts/setup.sh installs it)")
endif()

# Where Debian's python3 looks for packages of every Python 3 version; pip installs from
# python/ (setup.py) instead for other interpreters.
install(DIRECTORY python/varnel DESTINATION lib/python3/dist-packages COMPONENT python
        PATTERN __pycache__ EXCLUDE)

include(cmake/debian.cmake)
