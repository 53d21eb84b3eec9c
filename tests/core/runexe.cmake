# SPDX-License-Identifier: GPL-3.0-or-later
# The program runner and the helper program it starts in its tests.
add_executable(argv_echo ${CMAKE_CURRENT_LIST_DIR}/argv_echo.cpp)
quillfeed_add_test(NAME tst_runexe SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_runexe.cpp CORE qf_core)
add_dependencies(tst_runexe argv_echo)
