# Packages, made by `cmake --build DIR --target package` (scripts/package.sh
# makes them all):
# - on Linux, Mirad-VERSION-linux-x86_64.tar.gz, the plug-in archive a file
#   manager installs from: Mirad.wcx, mirad, the manual page, LICENSE and
#   pluginst.inf side by side at its root; and mirad_VERSION_amd64.deb with
#   the files where the install target puts them, under /usr;
# - from the 32-bit Windows build, Mirad-VERSION-windows.zip: Mirad.wcx,
#   Mirad.wcx64 from the 64-bit build beside it, mirad.exe, LICENSE and
#   pluginst.inf.
# The archives' files form the "plugin" component, which a plain install
# leaves out.
install(FILES packaging/pluginst.inf LICENSE DESTINATION . COMPONENT plugin EXCLUDE_FROM_ALL)
install(TARGETS Mirad LIBRARY DESTINATION . COMPONENT plugin EXCLUDE_FROM_ALL
                      RUNTIME DESTINATION . COMPONENT plugin EXCLUDE_FROM_ALL)
install(TARGETS mirad RUNTIME DESTINATION . COMPONENT plugin EXCLUDE_FROM_ALL)
if(WIN32)
  # The 64-bit build's module, stripped as the package's own targets are.
  find_program(MIRAD_STRIP64 x86_64-w64-mingw32-strip REQUIRED)
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    execute_process(COMMAND \"${MIRAD_STRIP64}\" -o \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/Mirad.wcx64\"
                            \"${MIRAD_WIN64_DIR}/Mirad.wcx64\" RESULT_VARIABLE stripped)
    if(NOT stripped EQUAL 0)
      message(FATAL_ERROR \"no 64-bit module at ${MIRAD_WIN64_DIR}/Mirad.wcx64 (scripts/build.sh win64)\")
    endif()" COMPONENT plugin EXCLUDE_FROM_ALL)
else()
  install(FILES host/mirad.1 DESTINATION . COMPONENT plugin EXCLUDE_FROM_ALL)
  install(FILES LICENSE DESTINATION share/doc/mirad RENAME copyright)
endif()

set(CPACK_PACKAGE_NAME Mirad)
set(CPACK_PACKAGE_VENDOR "The Mirad developers")
set(CPACK_PACKAGE_CONTACT "Mirad developers <dev@mirad.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Browse, extract and build Windows CE installation cabinets")
set(CPACK_PACKAGE_DESCRIPTION "mirad lists, extracts, tests, packs and updates cabinet files, CE installation cabinets in particular, through the Mirad.wcx packer module (in /usr/lib/mirad), which two-pane file managers load as well.")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/packages")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "Mirad-${PROJECT_VERSION}-windows")
  set(CPACK_COMPONENTS_ALL plugin)
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_PACKAGE_FILE_NAME "Mirad-${PROJECT_VERSION}-linux-x86_64")
  # The archive holds the plug-in component, the Debian package a plain
  # install (cmake/package-generator.cmake chooses per generator).
  set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_SOURCE_DIR}/cmake/package-generator.cmake")
  set(CPACK_DEBIAN_PACKAGE_NAME mirad)
  set(CPACK_DEBIAN_FILE_NAME "mirad_${PROJECT_VERSION}_amd64.deb")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
endif()
include(CPack)
