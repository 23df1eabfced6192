#pragma once
// What the service promises its callers, in one place: the name it registers under, how often its
// worker looks for a stop, and the checkpoints of the reports that end a run.

#include <windows.h>

#define SERVICE_NAME L"Orvelden Zentorvik Tool"

// The worker looks for the stop event once per interval, so a stop ends at most this long after
// the stop-pending report.
constexpr DWORD kPollIntervalMs = 3000;

// Checkpoints of the stop-pending report, of the stopped report of a run that ran, and of the
// stopped report of a start that failed.
constexpr DWORD kStopPendingCheckPoint = 4;
constexpr DWORD kStoppedCheckPoint = 3;
constexpr DWORD kStartFailedCheckPoint = 1;
