#include "Logging.h"

Q_LOGGING_CATEGORY(lcMain, "quillfeed.main_window", QtInfoMsg)
Q_LOGGING_CATEGORY(lcUpload, "quillfeed.upload", QtInfoMsg)
Q_LOGGING_CATEGORY(lcTransfer, "quillfeed.transfer", QtInfoMsg)
Q_LOGGING_CATEGORY(lcScan, "quillfeed.scanning", QtInfoMsg)
Q_LOGGING_CATEGORY(lcConfig, "quillfeed.config", QtInfoMsg)
Q_LOGGING_CATEGORY(lcDiag, "quillfeed.diagnostics", QtInfoMsg)
