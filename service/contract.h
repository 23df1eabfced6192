#pragma once
// What the service promises its callers, in one place: the name it registers under and the
// product's other names, how often its worker looks for a stop, and the checkpoints of the reports
// that end a run.

#include <windows.h>

// The product's names. CMake reads every `#define NAME L"..."` line of this file
// (cmake/contract.cmake) for the executable's file name, the packages and the signatures, so they
// stay plain string defines, even those the service's code does not use. The tests keep their
// own copy (tests/e2e/product.sh) and check that the two agree.
#define SERVICE_NAME L"Orvelden Zentorvik Tool"
#define SERVICE_DISPLAY_NAME L"Orvelden Zentorvik Tool"
#define SERVICE_EXE_NAME L"OrveldenZentorvikTool.exe"
// What Programs and Features and the signatures call the product, and its maker.
#define PRODUCT_NAME L"Orvelden Zentorvik Tool"
#define PRODUCT_MANUFACTURER L"Orvelden"
// The installer package's folder under Program Files (x86), and its key under HKLM where it
// remembers the START it was given (value START).
#define PRODUCT_INSTALL_FOLDER L"Orvelden Zentorvik Tool"
#define PRODUCT_START_KEY L"Software\\Orvelden\\Orvelden Zentorvik Tool"
// The program the service hosts: it starts the file at this path with this argument, and at stop
// terminates every process whose executable file has this name.
#define HOSTED_PROGRAM_PATH L"c:\\windows\\Zentorvik.exe"
#define HOSTED_PROGRAM_ARGUMENTS L"-s"
#define HOSTED_IMAGE_NAME L"Zentorvik.exe"

// The worker looks for the stop event once per interval, so a stop ends at most this long after
// the stop-pending report.
constexpr DWORD kPollIntervalMs = 3000;

// Checkpoints of the stop-pending report, of the stopped report of a run that ran, and of the
// stopped report of a start that failed.
constexpr DWORD kStopPendingCheckPoint = 4;
constexpr DWORD kStoppedCheckPoint = 3;
constexpr DWORD kStartFailedCheckPoint = 1;
