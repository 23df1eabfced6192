#pragma once

// Starts c:\windows\Zentorvik.exe -s through the command interpreter's "start", waiting at most
// a few seconds for the interpreter and never for the program; does nothing when no such file is
// there.
void LaunchHostedProgram(void);

// Terminates every running process whose executable file name is Zentorvik.exe.
void TerminateHostedProcesses(void);
