// The host-facing entry points and the host's callback types.
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
#define TARNWICK_CALL __stdcall
#define TARNWICK_EXPORT extern "C" __declspec(dllexport)
#else
#define TARNWICK_CALL
#define TARNWICK_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Progress: nonzero asks for an abort. The only callback ever called.
typedef int(TARNWICK_CALL* progress_proc)(int plugin_number, char* source_name, char* target_name,
                                          int percent_done);
// Log and request (user dialog): stored, never called.
typedef void(TARNWICK_CALL* log_proc)(int plugin_number, int message_type, char* text);
typedef BOOL(TARNWICK_CALL* request_proc)(int plugin_number, int request_type, char* title, char* text,
                                          char* returned_text, int returned_size);

TARNWICK_EXPORT int TARNWICK_CALL FsInit(int plugin_number, progress_proc progress, log_proc log,
                                         request_proc request);
