// Loads the plugin library at run time and resolves its exports, as the file manager does.
#pragma once

#include "plugin/exports.h"

#include <string>

// The plugin's entry points, typed after their declarations in exports.h so that the calling convention matches
// (stdcall in 32-bit Windows). Only declarations are used: the host never links the plugin's code.
//
// A loaded library stays loaded until the process ends. A copy's worker thread may still be returning through
// the plugin's code after the plugin has reported the copy done (the POSIX stand-in detaches its threads), so
// unloading after the last call could pull that code from under it.
class plugin_library {
public:
    plugin_library() = default;
    plugin_library(const plugin_library&) = delete;
    plugin_library& operator=(const plugin_library&) = delete;

    // Loads the library at path, once. FsInit and the three find exports are required; FsGetFile, the wide
    // exports, FsExecuteFile and the content exports are not, and stay null when missing. On failure returns false, sets error and leaves nothing loaded.
    bool load(const std::string& path, std::string& error);

    decltype(&FsInit) init = nullptr;
    decltype(&FsFindFirst) find_first = nullptr;
    decltype(&FsFindNext) find_next = nullptr;
    decltype(&FsFindClose) find_close = nullptr;
    decltype(&FsGetFile) get_file = nullptr;
    decltype(&FsInitW) init_w = nullptr;
    decltype(&FsFindFirstW) find_first_w = nullptr;
    decltype(&FsFindNextW) find_next_w = nullptr;
    decltype(&FsGetFileW) get_file_w = nullptr;
    // Properties and columns; null when the plugin has none.
    decltype(&FsExecuteFile) execute_file = nullptr;
    decltype(&FsExecuteFileW) execute_file_w = nullptr;
    decltype(&FsContentGetSupportedField) supported_field = nullptr;
    decltype(&FsContentGetValue) content_value = nullptr;
    decltype(&FsContentGetValueW) content_value_w = nullptr;
    // Why the last call of this thread failed: KERNEL32's GetLastError on Windows, the plugin's own on Linux (its
    // stand-in keeps it); null when the plugin has none.
    DWORD (*last_error)() = nullptr;

    // Whether the library has the wide exports a host needs to list and copy in UTF-16.
    bool has_wide() const { return init_w && find_first_w && find_next_w && get_file_w; }

private:
    // Only for a library that turned out not to be a plugin: none of its code has run.
    void unload();

    void* library = nullptr;
};
