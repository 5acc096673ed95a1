// Where the server's reports go: one line on standard output, flushed, and
// the same text to the system log. Neither ever blocks the caller: a line
// that standard output cannot take at once waits in a bounded queue for the
// next flush, and a system log that is absent or full is skipped.
#pragma once

#include <string_view>

namespace lorvane::platform {

void emitReportLine(std::string_view line);
// A line for standard output alone (not a failure).
void emitInformationLine(std::string_view line);
// Retries lines that standard output could not take earlier.
void flushReportLines();
bool reportLinesPending();

}  // namespace lorvane::platform
