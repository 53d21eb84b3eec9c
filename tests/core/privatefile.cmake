# SPDX-License-Identifier: GPL-3.0-or-later
# The station's own files and the names it shares with its converter.
quillfeed_add_test(NAME tst_privatefile SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_privatefile.cpp CORE qf_private_file TIMEOUT 60)
