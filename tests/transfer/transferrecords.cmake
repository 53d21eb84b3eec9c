# SPDX-License-Identifier: GPL-3.0-or-later
quillfeed_add_test(NAME tst_transferrecords SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_transferrecords.cpp CORE qf_transfer TIMEOUT 60)
