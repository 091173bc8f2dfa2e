// The host-facing entry points, the host's callback types and the result codes of a copy.
#pragma once

#include "platform/platform.h"

#ifdef _WIN32
#define TARNWICK_CALL __stdcall
#define TARNWICK_EXPORT extern "C" __declspec(dllexport)
#else
#define TARNWICK_CALL
#define TARNWICK_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Progress: nonzero asks for an abort.
typedef int(TARNWICK_CALL* progress_proc)(int plugin_number, char* source_name, char* target_name,
                                          int percent_done);
// Log: a line for the host's log, of one of the message types below. Called only to tell of a volume whose
// journal could not be replayed in whole (plugin/recovery_notice.h).
typedef void(TARNWICK_CALL* log_proc)(int plugin_number, int message_type, char* text);
// Request (a user dialog): called only with request_message_ok, to show an entry's or a volume's properties.
typedef BOOL(TARNWICK_CALL* request_proc)(int plugin_number, int request_type, char* title, char* text,
                                          char* returned_text, int returned_size);

// The same three for the wide exports: text in UTF-16 units.
typedef int(TARNWICK_CALL* progress_proc_w)(int plugin_number, WCHAR* source_name, WCHAR* target_name,
                                            int percent_done);
typedef void(TARNWICK_CALL* log_proc_w)(int plugin_number, int message_type, WCHAR* text);
typedef BOOL(TARNWICK_CALL* request_proc_w)(int plugin_number, int request_type, WCHAR* title, WCHAR* text,
                                            WCHAR* returned_text, int returned_size);

// The message types of the log callback, as the host defines them.
inline constexpr int log_connect = 1;
inline constexpr int log_disconnect = 2;
inline constexpr int log_details = 3;
inline constexpr int log_transfer_complete = 4;
inline constexpr int log_connect_complete = 5;
inline constexpr int log_important_error = 6;
inline constexpr int log_operation_complete = 7;

// The request types the plugin sends: a message the user acknowledges with OK.
inline constexpr int request_message_ok = 8;

// FsGetBackgroundFlags: copies out may run in a background thread of the host.
inline constexpr int background_download = 1;

// FsExecuteFile's results: done; failed; the host is to copy the file out and open it itself.
inline constexpr int exec_ok = 0;
inline constexpr int exec_error = 1;
inline constexpr int exec_yourself = -1;

// Content field types, and the answers of FsContentGetValue that carry no value.
inline constexpr int ft_nomorefields = 0;
inline constexpr int ft_numeric_32 = 1;
inline constexpr int ft_numeric_64 = 2;
inline constexpr int ft_datetime = 10;
inline constexpr int ft_string = 8;
inline constexpr int ft_stringw = 11;
inline constexpr int ft_nosuchfield = -1;
inline constexpr int ft_fileerror = -2;
inline constexpr int ft_fieldempty = -3;

// What the host knows of a remote file when it asks for a copy; not read by the plugin.
struct remote_file_info {
    DWORD size_low;
    DWORD size_high;
    FILETIME last_write_time;
    int attributes;
};

// What the host passes once after loading the plugin: its interface version and the path of its settings file.
// The plugin reads no settings, so nothing of it is kept.
struct default_params {
    int size;
    DWORD plugin_interface_version_low;
    DWORD plugin_interface_version_high;
    char default_ini_name[MAX_PATH];
};

// The name the host gives the plugin's folder.
inline constexpr char default_root_name[] = "Linux ext";

// Copy flags: the overwrite bit is set when the host has confirmed overwriting an existing local file.
inline constexpr int copy_flag_overwrite = 1;

// Results of FsGetFile.
inline constexpr int file_result_ok = 0;
inline constexpr int file_result_exists = 1;
inline constexpr int file_result_not_found = 2;
inline constexpr int file_result_read_error = 3;
inline constexpr int file_result_write_error = 4;
inline constexpr int file_result_aborted = 5;
inline constexpr int file_result_not_supported = 6;

TARNWICK_EXPORT int TARNWICK_CALL FsInit(int plugin_number, progress_proc progress, log_proc log,
                                         request_proc request);
TARNWICK_EXPORT HANDLE TARNWICK_CALL FsFindFirst(char* path, WIN32_FIND_DATAA* find_data);
TARNWICK_EXPORT BOOL TARNWICK_CALL FsFindNext(HANDLE handle, WIN32_FIND_DATAA* find_data);
TARNWICK_EXPORT int TARNWICK_CALL FsFindClose(HANDLE handle);
TARNWICK_EXPORT int TARNWICK_CALL FsGetFile(char* remote_name, char* local_name, int copy_flags,
                                            remote_file_info* remote_info);
// The wide exports: paths and names in UTF-16, no code page in between. FsFindClose serves both kinds.
TARNWICK_EXPORT int TARNWICK_CALL FsInitW(int plugin_number, progress_proc_w progress, log_proc_w log,
                                          request_proc_w request);
TARNWICK_EXPORT HANDLE TARNWICK_CALL FsFindFirstW(WCHAR* path, WIN32_FIND_DATAW* find_data);
TARNWICK_EXPORT BOOL TARNWICK_CALL FsFindNextW(HANDLE handle, WIN32_FIND_DATAW* find_data);
TARNWICK_EXPORT int TARNWICK_CALL FsGetFileW(WCHAR* remote_name, WCHAR* local_name, int copy_flags,
                                             remote_file_info* remote_info);
TARNWICK_EXPORT void TARNWICK_CALL FsGetDefRootName(char* name, int max_length);
TARNWICK_EXPORT void TARNWICK_CALL FsSetDefaultParams(default_params* params);
TARNWICK_EXPORT int TARNWICK_CALL FsGetBackgroundFlags();
// Start and end of a host operation; nothing depends on it being called.
TARNWICK_EXPORT void TARNWICK_CALL FsStatusInfo(char* remote_dir, int start_end, int operation);
TARNWICK_EXPORT void TARNWICK_CALL FsStatusInfoW(WCHAR* remote_dir, int start_end, int operation);
TARNWICK_EXPORT int TARNWICK_CALL FsExecuteFile(void* main_window, char* remote_name, char* verb);
TARNWICK_EXPORT int TARNWICK_CALL FsExecuteFileW(void* main_window, WCHAR* remote_name, WCHAR* verb);
TARNWICK_EXPORT int TARNWICK_CALL FsContentGetSupportedField(int field_index, char* field_name, char* units,
                                                             int max_length);
TARNWICK_EXPORT int TARNWICK_CALL FsContentGetValue(char* file_name, int field_index, int unit_index,
                                                    void* field_value, int max_length, int flags);
TARNWICK_EXPORT int TARNWICK_CALL FsContentGetValueW(WCHAR* file_name, int field_index, int unit_index,
                                                     void* field_value, int max_length, int flags);
TARNWICK_EXPORT BOOL TARNWICK_CALL FsContentGetDefaultView(char* view_contents, char* view_headers,
                                                          char* view_widths, char* view_options, int max_length);
