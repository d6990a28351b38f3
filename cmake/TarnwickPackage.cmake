# The packages a user downloads, made by `cpack -G ZIP` (Windows builds) or
# `cpack -G TGZ` (Linux) in a build folder: the programs and the help file,
# nothing to install. tarnwick-<version>-win64.zip, -win32.zip, -linux.tar.gz.
install(FILES ${PROJECT_SOURCE_DIR}/Read_Me.txt DESTINATION .)

set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VENDOR Tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Salvage and repair of the memo texts of FoxPro-style DBF tables")
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_SYSTEM_NAME linux)
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_FILE_NAME tarnwick-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
# Everything in one folder named as the package, the programs beside
# Read_Me.txt, where Help finds it.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
set(CPACK_STRIP_FILES ON)
include(CPack)
