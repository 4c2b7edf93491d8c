# What the install step lays out beside the tool, and the packages CPack
# makes of it. TANDREL_PACKAGE picks the layout:
#   (empty)  a plain install: the manual page as roff and the README
#   deb      Debian's layout: manual page and changelog gzipped, a copyright file
#   zip      Windows: the README and the manual rendered as HTML beside the tool
# Only the package layouts need more than CMake and a compiler (gzip, mandoc).
set(TANDREL_PACKAGE "" CACHE STRING "Install layout for a package: deb, zip or empty")
set_property(CACHE TANDREL_PACKAGE PROPERTY STRINGS "" deb zip)

set(TANDREL_MAINTAINER "Tandrel maintainers <tandrel@pellmark.example>")
set(tandrel_manual ${PROJECT_SOURCE_DIR}/doc/tandrel.1)
set(tandrel_readme ${PROJECT_SOURCE_DIR}/README.md)
set(tandrel_docdir ${CMAKE_INSTALL_DATAROOTDIR}/doc/tandrel)

# Runs `tool args... input` at build time with its standard output sent to
# `output`.
function(tandrel_generate output input tool)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} "-DCOMMAND=${tool};${ARGN};${input}" -DOUTPUT=${output}
            -P ${PROJECT_SOURCE_DIR}/cmake/run-to-file.cmake
    DEPENDS ${input} ${PROJECT_SOURCE_DIR}/cmake/run-to-file.cmake
    VERBATIM)
endfunction()

if(TANDREL_PACKAGE STREQUAL "")
  install(FILES ${tandrel_manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${tandrel_readme} DESTINATION ${tandrel_docdir})

elseif(TANDREL_PACKAGE STREQUAL "deb")
  # The changelog's newest entry names the version being packaged.
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog newest LIMIT_COUNT 1)
  if(NOT newest MATCHES "^tandrel \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog does not start with version ${PROJECT_VERSION}")
  endif()
  # Debian wants the highest compression and no time stamp, so that a
  # rebuild gives the same bytes.
  find_program(TANDREL_GZIP gzip REQUIRED)
  set(manual_gz ${CMAKE_CURRENT_BINARY_DIR}/tandrel.1.gz)
  set(changelog_gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
  tandrel_generate(${manual_gz} ${tandrel_manual} ${TANDREL_GZIP} -9nc)
  tandrel_generate(${changelog_gz} ${PROJECT_SOURCE_DIR}/packaging/changelog ${TANDREL_GZIP} -9nc)
  add_custom_target(tandrel_package_docs ALL DEPENDS ${manual_gz} ${changelog_gz})
  install(FILES ${manual_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${tandrel_readme} ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog_gz}
          DESTINATION ${tandrel_docdir})

elseif(TANDREL_PACKAGE STREQUAL "zip")
  find_program(TANDREL_MANDOC mandoc REQUIRED)
  set(manual_html ${CMAKE_CURRENT_BINARY_DIR}/tandrel.html)
  tandrel_generate(${manual_html} ${tandrel_manual} ${TANDREL_MANDOC} -T html)
  add_custom_target(tandrel_package_docs ALL DEPENDS ${manual_html})
  install(FILES ${tandrel_readme} ${manual_html} DESTINATION ${CMAKE_INSTALL_BINDIR})

else()
  message(FATAL_ERROR "TANDREL_PACKAGE is \"${TANDREL_PACKAGE}\"; expected deb, zip or nothing")
endif()

set(CPACK_PACKAGE_NAME tandrel)
set(CPACK_PACKAGE_VENDOR "Pellmark Software")
set(CPACK_PACKAGE_CONTACT "${TANDREL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "encrypt single files under per-project passphrases")
set(CPACK_PACKAGE_DESCRIPTION
  "Tandrel encrypts one file at a time under the passphrase of a named project
and decrypts it again. Passphrases never appear on the command line: each
user keeps a plain-text passphrase file that pairs project names with
passphrases, and the encrypted file names its project, so decryption needs
nothing but the file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

if(TANDREL_PACKAGE STREQUAL "deb")
  set(CPACK_GENERATOR DEB)
elseif(TANDREL_PACKAGE STREQUAL "zip")
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
include(CPack)
