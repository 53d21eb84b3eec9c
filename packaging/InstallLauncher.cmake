# SPDX-License-Identifier: GPL-3.0-or-later
# Run by `cmake --install` (and by cpack): writes the launcher, which runs the
# program from the program folder chosen for this install (CMAKE_INSTALL_PREFIX
# as the install sees it, so --prefix is honoured). Set before this script:
# QF_LAUNCHER_TEMPLATE and QF_LAUNCHER_DIR (absolute).

file(READ "${QF_LAUNCHER_TEMPLATE}" qf_launcher)
# The folder goes into a double-quoted shell word: keep its characters literal.
set(qf_folder "${CMAKE_INSTALL_PREFIX}")
foreach(c "\\" "\"" "$" "`")
  string(REPLACE "${c}" "\\${c}" qf_folder "${qf_folder}")
endforeach()
string(REPLACE "@QUILLFEED_PROGRAM_DIR@" "${qf_folder}" qf_launcher "${qf_launcher}")

set(qf_target "$ENV{DESTDIR}${QF_LAUNCHER_DIR}/quillfeed")
message(STATUS "Installing: ${qf_target}")
file(MAKE_DIRECTORY "$ENV{DESTDIR}${QF_LAUNCHER_DIR}")
file(WRITE "${qf_target}" "${qf_launcher}")
file(CHMOD "${qf_target}" PERMISSIONS
     OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${qf_target}")
