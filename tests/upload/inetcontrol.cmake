# SPDX-License-Identifier: GPL-3.0-or-later
quillfeed_add_test(NAME tst_inetcontrol SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_inetcontrol.cpp CORE qf_upload TIMEOUT 180)
