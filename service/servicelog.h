// The service's log category: info and above by default, debug with --verbose.
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcService)
