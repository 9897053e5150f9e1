// Orvane logging: one process-wide log with a console sink and a file sink.
//
// Each line carries a mask (a subsystem name such as "QMCore"), a numeric
// severity (0 verbose ... 3 error), the source name and line, and a
// printf-style message. A line is written when its severity is at least the
// minimum set for its mask; masks without a setting use the minimum set for
// "ALL" (initially 2). A null or empty mask is the "ALL" mask.
// All functions may be called from any thread; the log serialises output.
#pragma once

#include <Orvane/OrvaneTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// Severities used across the libraries.
#define KR_LOG_SEVERITY_VERBOSE 0
#define KR_LOG_SEVERITY_INFO 1
#define KR_LOG_SEVERITY_WARNING 2
#define KR_LOG_SEVERITY_ERROR 3

// Prepares the log (console off, file off). Calling it again resets the
// mask table and closes an open log file.
KrStatus krLogInitSystem(void);
KrStatus krLogSetConsoleOutput(int enabled);
// Writes to "<folder>/<program>_<pid>.log"; the folder defaults to "./Log" and
// is created when missing.
KrStatus krLogSetFileOutput(int enabled);
KrStatus krLogSetOutputFolder(const char* folder);
// The path of the open log file, or 0x1000A when no file is open.
KrStatus krLogGetFilePath(char* path, size_t capacity);
// "ALL" sets every mask, including those set before.
KrStatus krLogSetMaskMinSeverity(const char* mask, int32_t minSeverity);
KrStatus krLogWrite(const char* mask, int32_t severity, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 5, 6)))
#endif
    ;
// Receives every line that passes the filter, after it is formatted; null
// removes it. Meant for tests and for applications that route the log.
typedef void (*KrLogCallback)(const char* mask, int32_t severity, const char* file, int line, const char* message,
                              void* cookie);
KrStatus krLogSetCallback(KrLogCallback callback, void* cookie);
// Flushes and closes the sinks.
KrStatus krLogShutdown(void);

#ifdef __cplusplus
}
#endif

// Writes a line with the caller's file and line.
#define KR_LOG(mask, severity, ...) krLogWrite((mask), (severity), __FILE__, __LINE__, __VA_ARGS__)
