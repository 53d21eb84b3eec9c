#include "Logging.h"

Q_LOGGING_CATEGORY(lcMain, "quillfeed.main_window")
Q_LOGGING_CATEGORY(lcUpload, "quillfeed.upload")
Q_LOGGING_CATEGORY(lcScan, "quillfeed.scanning")
Q_LOGGING_CATEGORY(lcConfig, "quillfeed.config")
Q_LOGGING_CATEGORY(lcDiag, "quillfeed.diagnostics")
