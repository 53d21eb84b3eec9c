// SPDX-License-Identifier: GPL-3.0-or-later
#include "UploadLogging.h"

Q_LOGGING_CATEGORY(lcUpload, "quillfeed.upload", QtInfoMsg)
