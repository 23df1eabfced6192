#pragma once
// What the test programs share: records timed from the program's start and printed whole, the
// commands of their command lines, and the stand-ins' log of their starts.

#include <windows.h>

// Starts the clock of the records and makes standard output binary, so that a record ends in
// "\n" alone.
void BeginRecords(void);
// Milliseconds since BeginRecords.
double Now(void);
// Prints the record "t=<ms>\tevent=<event>", then a TAB and the fields that the printf format
// gives (TAB-separated KEY=VALUE, none when it is empty), and "\n"; flushes it. Records printed
// by several threads never mix.
void Print(const char* event, const char* fields, ...);
// Holds back the other threads' records (the lock may be taken again by its holder), so that what
// a thread reads and records under it comes out in the order it was read.
void LockRecords(void);
void UnlockRecords(void);

// Writes text into out as UTF-8 for the value of a field: control characters are written as \xNN,
// so that a value never ends its field (TAB) or its record (\n). What does not fit is cut off.
void Utf8Value(const wchar_t* text, char* out, int size);

enum class Result { Ok, Failed, Usage };
// A command: its name, how many arguments it takes, their names for the usage, and what runs it,
// given its arguments.
struct Command {
    const wchar_t* name;
    int arguments;
    const char* usage;
    Result (*run)(wchar_t** args);
};
// Prints "usage: <synopsis>" and the commands, the program's and those every program has: "mark
// TEXT" prints TEXT with a time stamp, "hold MS" waits.
void PrintUsage(const char* synopsis, const Command* commands, int count);
// Runs the commands that argv[first] to argv[argc - 1] name, in order; returns how many failed, or
// -1 after printing the usage at a usage error (an unknown command, an argument missing, or a
// command's own Usage), where it stops.
int RunCommands(const char* synopsis, const Command* commands, int count, int first, int argc,
                wchar_t** argv);

// Appends "pid=<pid>\timage=<image path>\tcommand=<command line>\n" (UTF-8) to the log at path in
// one write, so that several processes can share the log.
void LogStart(const wchar_t* path);
