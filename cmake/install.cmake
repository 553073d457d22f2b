# Install rules: PREFIX/bin/stratdesk-server and its read-only files in PREFIX/share/stratdesk,
# laid out like the source tree so the binary finds them relative to itself (see
# server/host/install_layout.hpp), wherever the prefix is moved to.
include(GNUInstallDirs)

option(STRATDESK_DEBIAN_LAYOUT
       "Install the documentation as a Debian package has it (compressed, with changelog and copyright)"
       OFF)

set(STRATDESK_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/stratdesk)

install(TARGETS stratdesk-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The stand-ins' own test suites and caches stay behind; the example strategies are compiled
# into the binary.
set(stratdesk_python_excludes PATTERN tests EXCLUDE PATTERN __pycache__ EXCLUDE PATTERN "*.pyc"
                              EXCLUDE)
install(DIRECTORY engine/ DESTINATION ${STRATDESK_SHARE_DIR}/engine USE_SOURCE_PERMISSIONS
        ${stratdesk_python_excludes}
        PATTERN examples EXCLUDE)
install(DIRECTORY analytics/ DESTINATION ${STRATDESK_SHARE_DIR}/analytics USE_SOURCE_PERMISSIONS
        ${stratdesk_python_excludes})
install(DIRECTORY sample-data/bundle/ DESTINATION ${STRATDESK_SHARE_DIR}/sample-data/bundle)

# The files the docs page serves, from the npm package scripts/install-deps.sh installs.
set(stratdesk_docs_source ${STRATDESK_NPM_FILES}/swagger-ui-dist)
install(FILES ${stratdesk_docs_source}/swagger-ui.css ${stratdesk_docs_source}/index.css
              ${stratdesk_docs_source}/swagger-ui-bundle.js
              ${stratdesk_docs_source}/favicon-32x32.png ${stratdesk_docs_source}/favicon-16x16.png
        DESTINATION ${STRATDESK_SHARE_DIR}/docs)

# systemd user units for a desktop session. They name the installed paths, so they are written
# when installing, for the prefix given then, in a folder of that prefix's own (installs into
# different prefixes may run at once).
install(CODE "
  set(STRATDESK_UNIT_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  set(STRATDESK_UNIT_SHAREDIR \"\${CMAKE_INSTALL_PREFIX}/${STRATDESK_SHARE_DIR}\")
  string(MD5 prefix_key \"\${CMAKE_INSTALL_PREFIX}\")
  set(units_dir \"${PROJECT_BINARY_DIR}/packaging/units-\${prefix_key}\")
  foreach(unit stratdesk stratdesk-analytics)
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/\${unit}.service.in\"
                   \"\${units_dir}/\${unit}.service\" @ONLY)
  endforeach()
  file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/user\" TYPE FILE
       FILES \"\${units_dir}/stratdesk.service\" \"\${units_dir}/stratdesk-analytics.service\")")

# The sources have no license file; README goes with the documentation.
if(NOT STRATDESK_DEBIAN_LAYOUT)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES packaging/stratdesk-server.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  return()
endif()

# Debian wants man pages and changelogs compressed without timestamps, and a copyright file;
# the package is native (no Debian revision), so its changelog is changelog.gz.
set(STRATDESK_MAINTAINER "stratdesk maintainers <maintainers@stratdesk.example.org>"
    CACHE STRING "Maintainer named in the package")
string(TIMESTAMP STRATDESK_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
function(stratdesk_gzip source output)
  execute_process(COMMAND gzip -9n -c ${source} OUTPUT_FILE ${output} COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
endfunction()
stratdesk_gzip(${PROJECT_SOURCE_DIR}/packaging/stratdesk-server.1
               ${PROJECT_BINARY_DIR}/packaging/stratdesk-server.1.gz)
stratdesk_gzip(${PROJECT_BINARY_DIR}/packaging/changelog
               ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
stratdesk_gzip(${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/packaging/README.md.gz)
install(FILES ${PROJECT_BINARY_DIR}/packaging/stratdesk-server.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/packaging/changelog.gz
              ${PROJECT_BINARY_DIR}/packaging/README.md.gz packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
