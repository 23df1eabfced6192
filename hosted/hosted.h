#pragma once

// Starts the hosted program (contract.h) with its argument through the command interpreter's
// "start", waiting at most a few seconds for the interpreter and never for the program; does
// nothing when no such file is there.
void LaunchHostedProgram(void);

// Terminates every running process whose executable file name is the hosted program's.
void TerminateHostedProcesses(void);
