# Installation and packages. `cmake --install` puts the executable in bin and,
# outside Windows, the manual page zuvo(1) in share/man/man1, gzipped as
# Debian expects, the examples in share/doc/zuvo/examples and the bash
# completion in share/bash-completion/completions. CPack makes a Debian
# package from a Linux build and a zip from the Windows cross build
# (scripts/package.sh runs both).
include(GNUInstallDirs)

# cpack and `cmake --install` take what is built; scripts/package.sh builds
# only the executable first, so the tests (and, in the cross build, their
# discovery under the emulator) are not needed to package.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

if(WIN32)
  install(TARGETS zuvo RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/doc/windows-readme.txt DESTINATION . RENAME README.txt)
else()
  install(TARGETS zuvo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The page is compressed when the build is configured; editing it configures
  # again. -n leaves out the name and time, so the result depends on the text only.
  set(_man ${PROJECT_SOURCE_DIR}/doc/zuvo.1)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_man})
  find_program(ZUVO_GZIP gzip)
  if(ZUVO_GZIP)
    execute_process(COMMAND ${ZUVO_GZIP} -9 -n -c ${_man}
                    OUTPUT_FILE ${PROJECT_BINARY_DIR}/zuvo.1.gz RESULT_VARIABLE _gzip_rc)
    if(NOT _gzip_rc EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${_man}")
    endif()
    install(FILES ${PROJECT_BINARY_DIR}/zuvo.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  # Units and a cron file for unattended runs, for users to copy and edit.
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/doc/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
  # Bash completion, where bash-completion loads it on demand: its own
  # completionsdir when pkg-config knows it, taken relative to its prefix so
  # that --prefix and the package still put the file under theirs.
  set(_completions ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_get_variable(_bc_dir bash-completion completionsdir)
    pkg_get_variable(_bc_prefix bash-completion prefix)
    string(LENGTH "${_bc_prefix}/" _bc_length)
    string(FIND "${_bc_dir}" "${_bc_prefix}/" _bc_at)
    if(_bc_prefix AND _bc_at EQUAL 0)
      string(SUBSTRING "${_bc_dir}" ${_bc_length} -1 _completions)
    endif()
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/scripts/completion/zuvo.bash DESTINATION ${_completions}
          RENAME zuvo)
endif()

set(CPACK_PACKAGE_NAME zuvo)
set(CPACK_PACKAGE_VENDOR "The zuvo authors")
set(CPACK_PACKAGE_CONTACT "The zuvo authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps large files in a content-addressed hash store")
# One string: a semicolon in it would split a CMake list.
set(CPACK_PACKAGE_DESCRIPTION "zuvo cuts files into fixed-size chunks and keeps each distinct \
chunk once, named by its hash. A small chunk map file stands for each file in the store. Copies \
into and out of a store write only the chunks that are not there yet.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_OUTPUT_FILE_PREFIX "")

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME zuvo-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # zuvo_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The zuvo authors")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps works out the runtime packages (libdeflate0, libc6, libstdc++6,
  # libgcc-s1) and their least versions from the executable itself.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
