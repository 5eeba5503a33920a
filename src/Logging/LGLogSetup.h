#pragma once
// Start-up of the application's logging: the system-log sink, then the
// terminal sink (the shared instances). Each call adds both once more, so a
// second call makes every line reach each sink twice.

namespace lg {

void addStandardLoggers();

}  // namespace lg
