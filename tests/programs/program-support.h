#pragma once
// What the test programs share: records timed from the program's start and printed whole, the
// commands of their command lines, UTF-8 text for their logs, processes held open by id, and the
// processes of one file name.

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

// Writes text into out as UTF-8, ending in a zero, and returns its length; on failure (out too
// small) out is empty.
int Utf8(const wchar_t* text, char* out, int size);
// The same for the value of a field: control characters are written as \xNN, so that a value
// never ends its field (TAB) or its record (\n). What does not fit is cut off.
int Utf8Value(const wchar_t* text, char* out, int size);

// A process held open from the moment it is seen: Wine reuses process ids quickly, and the handle
// keeps the process's exit code and image once it ends.
struct HeldProcess {
    DWORD pid;
    HANDLE process;
};
// Opens a process to wait for it and to read its image; NULL (with the last error) when it cannot.
HANDLE HoldProcess(DWORD pid);
// The process's image path as a field's value (UTF-8), or "?".
void ImageOf(HANDLE process, char* out, int size);
// Whether the process ends within ms, with its exit code.
bool ExitsWithin(HANDLE process, DWORD ms, DWORD* code);

// The ids of the running processes whose file name is name, letter case aside: how many there are,
// the first max of them in pids. None when no snapshot can be taken.
int FindProcesses(const wchar_t* name, DWORD* pids, int max);

// What a command of a program's command line did.
enum class Result { Ok, Failed, Usage };
// A command: its name, how many arguments it takes (at most three), whether it takes one more when
// the next one begins with "-", and what runs it, given its arguments and NULL past them.
struct Command {
    const wchar_t* name;
    int arguments;
    bool option;
    Result (*run)(wchar_t** args);
};
// Runs the commands that argv[first] to argv[argc - 1] name, in order, from the `count` of the
// table; returns how many failed, or -1 at a usage error (an unknown command, an argument missing,
// or a command's own Usage), where it stops.
int RunCommands(const Command* commands, int count, int first, int argc, wchar_t** argv);
// The commands every program has: "mark TEXT" prints TEXT with a time stamp, "hold MS" waits.
Result Mark(wchar_t** args);
Result Hold(wchar_t** args);

// Appends a record of `length` bytes to the log at path in one write, so that several processes
// can share the log.
void AppendToLog(const wchar_t* path, const char* record, int length);
