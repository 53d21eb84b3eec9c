#include "Logging.h"

Q_LOGGING_CATEGORY(lcCore, "quillfeed.core", QtInfoMsg)
