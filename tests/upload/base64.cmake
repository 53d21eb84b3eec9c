# SPDX-License-Identifier: GPL-3.0-or-later
quillfeed_add_test(NAME tst_base64 SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_base64.cpp CORE qf_upload TIMEOUT 60)
