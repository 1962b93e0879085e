// The process-wide state that the crash handler is told about at
// registration and reads from this process when a crash is signalled.
//
// Plain zero-initialised globals, valid before any static constructor runs,
// so that the exception paths never depend on initialisation order. They are
// written by CrashClient::ConnectToHandler (critical section, crash event) and
// by UnhandledExceptionHandler (crash information, handling flag).
#pragma once

#include "crash/crash_messages.h"
#include "platform/platform.h"

// Filled by the one thread that reports a crash; the handler reads it.
extern ExceptionInfoBlock g_crash_information;
// Announced to the handler but never filled: this system only reports crashes.
extern ExceptionInfoBlock g_non_crash_information;
// Announced to the handler so it can follow the critical-section debug list.
extern CRITICAL_SECTION g_debug_critical_section;
// The handler's event, valid in this process; signalling it requests a report.
extern HANDLE g_crash_event;
// Set (by atomic exchange) by the first thread entering the crash path.
extern char g_crash_handling_flag;

// Initialises `section` so that it carries debug information on systems that
// would otherwise leave it out (newer than Windows 7). Logs and returns false
// when that fails.
bool InitializeDebugCriticalSection(CRITICAL_SECTION* section);
