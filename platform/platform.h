// The Win32 surface the plugin is written against: <windows.h> on Windows, our POSIX stand-in elsewhere.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winioctl.h>
#else
#include "platform/win32_stand_in.h"
#endif

// The separator of the host's paths: a Windows host passes "\"; a host on Linux passes "/".
#ifdef _WIN32
inline constexpr char host_path_separator = '\\';
#else
inline constexpr char host_path_separator = '/';
#endif
