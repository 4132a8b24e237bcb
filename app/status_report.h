#ifndef APP_STATUS_REPORT_H
#define APP_STATUS_REPORT_H

#include <stdint.h>

#include <string>

#include "records/agent_status.h"

// The status block the agent prints on SIGUSR1, whole lines, as of `now`:
// the header line, uptime, the logic link, one line per channel (the first
// channelCount, at most kMaxStatusChannels), alarms and discovery. Times
// never taken read "-"; texts from the servers are cut to a short
// printable form, so every line stays one line.
std::string FormatStatusReport(const AgentStatus &status, int32_t now, int32_t channelCount, int32_t quality);

#endif
