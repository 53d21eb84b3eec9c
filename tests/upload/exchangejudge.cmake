# SPDX-License-Identifier: GPL-3.0-or-later
quillfeed_add_test(NAME tst_exchangejudge SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_exchangejudge.cpp CORE qf_upload TIMEOUT 60)
