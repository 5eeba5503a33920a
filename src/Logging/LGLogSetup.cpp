#include "Logging/LGLogSetup.h"

#include "Logging/LGASLLogger.h"
#include "Logging/LGTTYLogger.h"

void lg::addStandardLoggers() {
    LGLog::addLogger(LGASLLogger::sharedInstance());
    LGLog::addLogger(LGTTYLogger::sharedInstance());
}
