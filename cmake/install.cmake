# What `cmake --install` puts where, in the usual places under the prefix,
# and the Debian package made from the same install with `cpack -G DEB`.
include(GNUInstallDirs)

install(TARGETS qka qka-check RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET qka-lsp)
    install(TARGETS qka-lsp RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Manual pages are installed compressed, as Debian ships them; -n keeps the
# file free of a time stamp so that two builds give the same bytes.
find_program(QKA_GZIP gzip REQUIRED)
set(qka_pages qka qka-check)
if(TARGET qka-lsp)
    list(APPEND qka_pages qka-lsp)
endif()
foreach(page IN LISTS qka_pages)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${page}.1.gz
                       COMMAND ${QKA_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/${page}.1 > ${CMAKE_BINARY_DIR}/${page}.1.gz
                       DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1
                       VERBATIM)
    list(APPEND qka_page_files ${CMAKE_BINARY_DIR}/${page}.1.gz)
endforeach()
add_custom_target(qka_manpage ALL DEPENDS ${qka_page_files})
install(FILES ${qka_page_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The examples keep their execute bits: each runs by its #! line.
file(GLOB qka_examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/*.qka)
install(PROGRAMS ${qka_examples} DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The guide keeps its place beside the examples, so that its links and the
# README's work in the installed copy as in the source tree.
install(FILES ${PROJECT_SOURCE_DIR}/docs/language.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# Editor support: Vim finds vimfiles/ on its default runtime path; the
# TextMate grammar is a plain file for editors to be pointed at.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/vim/syntax/qka.vim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vim/vimfiles/syntax)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/vim/ftdetect/qka.vim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/vim/vimfiles/ftdetect)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/textmate/qka.tmLanguage.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qka/textmate)
# The VS Code extension, to be copied into an extensions folder (its README).
install(FILES ${PROJECT_SOURCE_DIR}/contrib/textmate/package.json
              ${PROJECT_SOURCE_DIR}/contrib/textmate/package-lock.json
              ${PROJECT_SOURCE_DIR}/contrib/textmate/extension.js
              ${PROJECT_SOURCE_DIR}/contrib/textmate/language-configuration.json
              ${PROJECT_SOURCE_DIR}/contrib/textmate/qka.tmLanguage.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/qka/vscode)
# Neovim searches share/nvim/site/ of /usr and /usr/local: detection and
# highlighting from the Vim files, and the client setup for qka-lsp.
install(FILES ${PROJECT_SOURCE_DIR}/contrib/vim/syntax/qka.vim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nvim/site/syntax)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/vim/ftdetect/qka.vim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nvim/site/ftdetect)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/nvim/plugin/qka_lsp.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nvim/site/plugin)
install(FILES ${PROJECT_SOURCE_DIR}/contrib/nvim/lua/qka/health.lua
        DESTINATION ${CMAKE_INSTALL_DATADIR}/nvim/site/lua/qka)

set(QKA_PACKAGE_MAINTAINER "Seed 9d7eb353 maintainers <maintainers@users.noreply.c-seed-9d7eb353.example>"
    CACHE STRING "The Maintainer field of the Debian package")

# What Debian wants in every package's documentation folder: the copyright
# in its machine-readable form and the package's changelog, compressed
# without a time stamp like the manual pages. They belong to the package
# alone: a plain `cmake --install` leaves them out.
# The date of this version's changelog entry (RFC 5322), fixed so that two
# builds give the same package; it moves with the version.
set(QKA_RELEASE_DATE "Wed, 09 Dec 2026 00:00:00 +0000")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
                   COMMAND ${QKA_GZIP} -9n -c ${CMAKE_BINARY_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog
                   VERBATIM)
add_custom_target(qka_debian_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME qka COMPONENT debian EXCLUDE_FROM_ALL)
# One package of everything: the files of no named component and these.
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

set(CPACK_PACKAGE_NAME qka)
set(CPACK_PACKAGE_VENDOR "qka maintainers")
set(CPACK_PACKAGE_CONTACT "${QKA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "interpreter for a small stack language in the manner of Forth")
# Control files want the long description wrapped; CPack keeps line ends.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "qka runs scripts written in a small stack language: it loads the script,\n"
    "indexes every definition, prints its banner and runs the word main,\n"
    "executing directly on the script text.\n"
    "The package holds the interpreter, the static checker qka-check, the\n"
    "language server qka-lsp, their manual pages, example programs, the\n"
    "language guide, and editor support for Vim, Neovim, VS Code and other\n"
    "TextMate editors.")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QKA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION interpreters)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
