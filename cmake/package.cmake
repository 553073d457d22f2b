# `make package`: a Debian package of the installed layout, built by CPack from a Release build
# configured with CMAKE_INSTALL_PREFIX=/usr and STRATDESK_DEBIAN_LAYOUT=ON.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME stratdesk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${STRATDESK_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "back-end server of the stratdesk research workstation")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "stratdesk-server keeps algorithms, backtests and their results in an SQLite\n"
    "database, launches backtests with a stand-in engine over a sample market-data\n"
    "bundle, and serves its HTTP API on a loopback address for a desktop front end.\n"
    "User units run it and the stand-in analytics service in a desktop session.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS python3)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)
