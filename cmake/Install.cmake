# SPDX-License-Identifier: GPL-3.0-or-later
# What `cmake --install` lays out and what `cpack` packs.
#
# Two components:
#   program  the portable program folder, by default /opt/quillfeed: quillfeed, the
#            converter tiff2pdf beside it (the program runs it from its own folder),
#            and settings.txt.example. settings.txt itself is never installed: the
#            program reads it from its own folder, and its absence is what opens
#            Setup on the first run, so an administrator writes it (see README).
#   desktop  the launcher on the PATH (/usr/bin/quillfeed, a script that runs the
#            program from its folder), the desktop entry and the icons, all under
#            QUILLFEED_DESKTOP_PREFIX (default /usr).
#
#   cmake --install build                                  everything (as root)
#   cmake --install build --component program --prefix ~/qf   a private copy, nothing outside it
#   DESTDIR=/tmp/stage cmake --install build               a staged tree
#   cpack -G DEB --config build/CPackConfig.cmake          quillfeed_1.3.0_<arch>.deb
#
# Only the targets named here are installed; test programs, fuzz targets and the
# icon renderer stay in the build tree.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /opt/quillfeed CACHE PATH "The program folder: quillfeed, tiff2pdf and settings.txt" FORCE)
endif()
set(QUILLFEED_DESKTOP_PREFIX /usr CACHE PATH "Where the launcher (bin/), the desktop entry and the icons (share/) go")
set(QUILLFEED_PACKAGE_MAINTAINER "Quillfeed developers <quillfeed@example.org>" CACHE STRING
    "Maintainer field of the Debian package")

set(QF_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)
set(QF_PACKAGING_BINARY_DIR ${PROJECT_BINARY_DIR}/packaging)

# Folders made by the install are readable by everyone, whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# --- the program folder ------------------------------------------------------

foreach(program quillfeed tiff2pdf)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION . COMPONENT program)
  else()
    message(WARNING "The target ${program} does not exist; the install and the package will lack it")
  endif()
endforeach()

# The settings file's lines end in CR LF, or the program reads it as one line;
# the example is written with those line ends whatever the checkout did to it.
file(READ ${QF_PACKAGING_DIR}/settings.txt.example qf_example)
string(REPLACE "\r" "" qf_example "${qf_example}")
string(REPLACE "\n" "\r\n" qf_example "${qf_example}")
set(qf_example_file ${QF_PACKAGING_BINARY_DIR}/settings.txt.example)
set(qf_example_old "")
if(EXISTS ${qf_example_file})
  file(READ ${qf_example_file} qf_example_old)
endif()
if(NOT qf_example_old STREQUAL qf_example)
  file(WRITE ${qf_example_file} "${qf_example}")
endif()
install(FILES ${qf_example_file} DESTINATION . COMPONENT program)

# --- the icons: rendered from the window icon's own drawing --------------------

# A small program draws quillfeedIcon() (the same code the main window uses) into
# PNG files at build time, so the desktop shows exactly the window's icon.
add_executable(quillfeed_render_icon ${QF_PACKAGING_DIR}/render_icon.cpp)
target_link_libraries(quillfeed_render_icon PRIVATE qf_main_window)
set_target_properties(quillfeed_render_icon PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QF_PACKAGING_BINARY_DIR})

set(qf_icon_files)
foreach(size 16 32)
  set(png ${QF_PACKAGING_BINARY_DIR}/icons/${size}x${size}/quillfeed.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QF_PACKAGING_BINARY_DIR}/icons/${size}x${size}
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
            $<TARGET_FILE:quillfeed_render_icon> ${size} ${png}
    DEPENDS quillfeed_render_icon
    COMMENT "Drawing the ${size}x${size} icon"
    VERBATIM)
  list(APPEND qf_icon_files ${png})
  install(FILES ${png} DESTINATION ${QUILLFEED_DESKTOP_PREFIX}/share/icons/hicolor/${size}x${size}/apps
          COMPONENT desktop)
endforeach()
add_custom_target(quillfeed_icons ALL DEPENDS ${qf_icon_files})
# The scalable icon is the same drawing written out as SVG, on the same 32-unit grid.
install(FILES ${QF_PACKAGING_DIR}/quillfeed.svg DESTINATION ${QUILLFEED_DESKTOP_PREFIX}/share/icons/hicolor/scalable/apps
        COMPONENT desktop)

# --- the desktop entry and the launcher ------------------------------------------

install(FILES ${QF_PACKAGING_DIR}/quillfeed.desktop DESTINATION ${QUILLFEED_DESKTOP_PREFIX}/share/applications
        COMPONENT desktop)

# The launcher names the program folder, which is only known for sure when the
# install runs (--prefix may change it), so it is written then.
install(CODE "set(QF_LAUNCHER_TEMPLATE \"${QF_PACKAGING_DIR}/quillfeed.in\")
set(QF_LAUNCHER_DIR \"${QUILLFEED_DESKTOP_PREFIX}/bin\")" COMPONENT desktop)
install(SCRIPT ${QF_PACKAGING_DIR}/InstallLauncher.cmake COMPONENT desktop)

# --- the manual page, the copyright file and the changelog ----------------------

# Debian keeps manual pages and changelogs compressed, without a time stamp
# inside (-n), so that two builds of the same tree give the same package.
set(qf_doc_files)
foreach(pair "quillfeed.1;man/man1/quillfeed.1.gz" "changelog;doc/quillfeed/changelog.gz")
  list(GET pair 0 source)
  list(GET pair 1 target)
  set(out ${QF_PACKAGING_BINARY_DIR}/share/${target})
  get_filename_component(out_dir ${out} DIRECTORY)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND sh -c "gzip -9n <\"$1\" >\"$2\"" sh ${QF_PACKAGING_DIR}/${source} ${out}
    DEPENDS ${QF_PACKAGING_DIR}/${source}
    VERBATIM)
  list(APPEND qf_doc_files ${out})
  get_filename_component(target_dir ${target} DIRECTORY)
  install(FILES ${out} DESTINATION ${QUILLFEED_DESKTOP_PREFIX}/share/${target_dir} COMPONENT desktop)
endforeach()
add_custom_target(quillfeed_docs ALL DEPENDS ${qf_doc_files})
install(FILES ${QF_PACKAGING_DIR}/copyright DESTINATION ${QUILLFEED_DESKTOP_PREFIX}/share/doc/quillfeed
        COMPONENT desktop)

# --- the Debian package -------------------------------------------------------

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillfeed)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quillfeed")
set(CPACK_PACKAGE_CONTACT "${QUILLFEED_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "scans paper and feeds the documents to an office web page")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# The package always holds the program folder /opt/quillfeed, whatever prefix this
# build tree installs to by hand; the launcher and desktop files go where the
# desktop looks for them. DESTDIR staging keeps both in one tree.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /opt/quillfeed)
set(CPACK_PACKAGING_INSTALL_PREFIX /opt/quillfeed)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLFEED_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The first line of the field is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillfeed scans batches of paper with SANE into TIFF files in a local
read-from folder, converts them to PDF with the converter tiff2pdf that
ships beside it, and sends every file of the folder, one multipart POST
per file, to the office's web page. A file is deleted only once the page
has answered OK. It runs by hand (Manual) or reads the folder every 30
seconds (Unattended).
The program lives in /opt/quillfeed; its settings are read from
~/.config/quillfeed/settings.txt, or from settings.txt in that folder.")
# The libraries linked (Qt, libcurl, SANE, libtiff, zlib) are found by
# dpkg-shlibdeps; Qt's platform plugins are loaded at run time, so they are named
# here. Open Directory hands the folder to xdg-open.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-liberation2")
# On a Wayland session without X, Qt finds no platform without qt6-wayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils, sane-airscan, qt6-wayland")
# Purging the package also removes the settings file an administrator wrote.
configure_file(${QF_PACKAGING_DIR}/postrm.in ${QF_PACKAGING_BINARY_DIR}/control/postrm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QF_PACKAGING_BINARY_DIR}/control/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
