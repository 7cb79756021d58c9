# Read by CPack for each generator: the archive takes the plug-in component,
# the Debian package a plain install.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENTS_ALL plugin)
  set(CPACK_PACKAGING_INSTALL_PREFIX "")
elseif(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_DEB_COMPONENT_INSTALL OFF)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
endif()
