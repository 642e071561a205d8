#pragma once
// How code in Common/ writes log lines without knowing which deliverable it is built into: the
// deliverable installs its log writer once, at start-up. Lines written before that, or in a
// program that installs none, are dropped.

// Receives one formatted message and the name of the source file that wrote it.
using CommonLogWriter = void (*)(const char* pSourceName, const char* pMessage);

// Threading: any thread; the writer may be replaced while lines are being written.
void SetCommonLogWriter(CommonLogWriter writer);

// Formats the message (at most 4095 bytes; longer ones are cut) and hands it to the writer.
void WriteCommonLog(const char* pSourceName, const char* pFormat, ...)
    __attribute__((format(printf, 2, 3)));

#define COMMON_LOG(...) WriteCommonLog(__FILE_NAME__, __VA_ARGS__)
