# SPDX-License-Identifier: GPL-3.0-or-later
quillfeed_add_test(NAME tst_curlcarrier SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_curlcarrier.cpp CORE qf_upload TIMEOUT 120)
