#pragma once
// The library's log file: one per process, beside the library (or in the user's state folder
// when that folder is not writable), every line handed to the kernel as it is written, so a
// killed process loses nothing; there is no flush to disk per line. Always on; failures to open
// or write are silent.

#include <string>

// Formats "[pid][tid][hh:mm:ss.mmm] <source name>: <message>" (at most 4095 bytes; longer
// messages are cut) and hands it to WriteDllLogLine. The source name is the text after the last
// backslash of pSourcePath, or all of it.
void WriteDllLog(const char* pSourcePath, const char* pFormat, ...)
    __attribute__((format(printf, 2, 3)));

#define DLL_LOG(...) WriteDllLog(__FILE_NAME__, __VA_ARGS__)

// Writes the line and "\r\n" straight to the file (no buffer of our own, no disk flush). The
// first call of the process opens the file.
// Threading: any thread; lines of different threads never interleave.
void WriteDllLogLine(const char* pLine);

// Tests only. The path of the open log file (empty when none is open).
std::u16string DllLogPathForTesting();
// Closes the log file, so that the next line opens a new one.
void ResetDllLogForTesting();
// Makes the log act as if the library lived at `modulePath` (Windows form); empty restores the
// library's real path. Takes effect at the next open.
void SetDllLogModulePathForTesting(const std::u16string& modulePath);
