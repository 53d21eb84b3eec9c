# SPDX-License-Identifier: GPL-3.0-or-later
quillfeed_add_test(NAME tst_answerverdict SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_answerverdict.cpp CORE qf_upload TIMEOUT 60)
