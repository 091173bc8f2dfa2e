// Stand-in for the few Win32 types and calls the plugin uses, implemented over POSIX for non-Windows builds.
//
// Each call behaves as Windows documents it for the arguments the plugin passes, and no more.
// Drives: "\\.\PhysicalDrive" + N names the N-th path of the colon-separated TARNWICK_DISKS
// variable, or /dev/sda, /dev/sdb, ... when it is unset; drive handles are read-only and read only at the offset an
// OVERLAPPED names (a drive handle has no file pointer here, so a read that relies on one fails).
// Code pages 0 and 65001 are both UTF-8; every character has a form in them, so WC_NO_BEST_FIT_CHARS and a default
// character change nothing for code page 0. The administrator is the effective user root.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef unsigned char BYTE;
typedef char CHAR;
typedef uint16_t WORD;
typedef char16_t WCHAR;
typedef unsigned int UINT;
typedef void* HANDLE;
typedef void* HWND;
typedef void* PSID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef const WCHAR* LPCWSTR;
typedef WCHAR* LPWSTR;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef BOOL* PBOOL;
typedef size_t SIZE_T;
typedef uintptr_t ULONG_PTR;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_CRC 23u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_READ_FAULT 30u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_FILE_EXISTS 80u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_HANDLE_EOF 38u
#define ERROR_DIRECTORY 267u

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu

#define IOCTL_DISK_GET_DRIVE_GEOMETRY_EX 0x000700A0u
#define FSCTL_SET_SPARSE 0x000900C4u
#define ERROR_INVALID_FUNCTION 1u

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

#define CP_ACP 0u
#define CP_UTF8 65001u
#define WC_NO_BEST_FIT_CHARS 0x00000400u

#define MB_OK 0x00000000u
#define IDOK 1

#define SECURITY_NT_AUTHORITY {{0, 0, 0, 0, 0, 5}}
#define SECURITY_BUILTIN_DOMAIN_RID 0x00000020u
#define DOMAIN_ALIAS_RID_ADMINS 0x00000220u

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

// The host's find record, with the Windows layout (320 bytes).
struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAA* LPWIN32_FIND_DATAA;
static_assert(sizeof(WIN32_FIND_DATAA) == 320, "the host's find record is 320 bytes");

// The wide find record, with the Windows layout (592 bytes): names in UTF-16 units.
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    WCHAR cFileName[MAX_PATH];
    WCHAR cAlternateFileName[14];
};
typedef WIN32_FIND_DATAW* LPWIN32_FIND_DATAW;
static_assert(sizeof(WIN32_FIND_DATAW) == 592, "the host's wide find record is 592 bytes");
static_assert(offsetof(WIN32_FIND_DATAW, cFileName) == 44, "names follow the 44 bytes of fields");

struct DISK_GEOMETRY {
    LARGE_INTEGER Cylinders;
    int32_t MediaType;
    DWORD TracksPerCylinder;
    DWORD SectorsPerTrack;
    DWORD BytesPerSector;
};

struct DISK_GEOMETRY_EX {
    DISK_GEOMETRY Geometry;
    LARGE_INTEGER DiskSize;
    BYTE Data[1];
};
static_assert(sizeof(DISK_GEOMETRY_EX) == 40, "the geometry reply is 40 bytes");
static_assert(offsetof(DISK_GEOMETRY_EX, Geometry.BytesPerSector) == 20, "BytesPerSector at byte 20");

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
// The Windows layout. The stand-in's ReadFile on a drive reads at Offset + OffsetHigh * 2^32, as Windows does on a
// handle opened for synchronous access, and records the bytes read in InternalHigh; hEvent is not used.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;
static_assert(offsetof(OVERLAPPED, Offset) == 2 * sizeof(ULONG_PTR), "Offset follows the two internal words");
static_assert(sizeof(OVERLAPPED) == 3 * sizeof(void*) + 8, "the Windows size");

struct SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
};
typedef SID_IDENTIFIER_AUTHORITY* PSID_IDENTIFIER_AUTHORITY;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID parameter);

HANDLE CreateFileA(LPCSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytes_to_read, LPDWORD bytes_read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytes_to_write, LPDWORD bytes_written,
               LPOVERLAPPED overlapped);
BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
// On a drive: IOCTL_DISK_GET_DRIVE_GEOMETRY_EX. On a local file: FSCTL_SET_SPARSE, with no buffers.
BOOL DeviceIoControl(HANDLE device, DWORD control_code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer,
                     DWORD out_size, LPDWORD bytes_returned, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE object);
// C names: the ELF plugin exports GetLastError, for a host to learn why a call failed as it would from KERNEL32.
extern "C" __attribute__((visibility("default"))) DWORD GetLastError();
extern "C" void SetLastError(DWORD error);

HANDLE CreateThread(LPSECURITY_ATTRIBUTES security_attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start_address, LPVOID parameter, DWORD creation_flags,
                    LPDWORD thread_id);
DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds);

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE sub_authority_count, DWORD sub_authority0,
                              DWORD sub_authority1, DWORD sub_authority2, DWORD sub_authority3,
                              DWORD sub_authority4, DWORD sub_authority5, DWORD sub_authority6,
                              DWORD sub_authority7, PSID* sid);
BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL is_member);
void* FreeSid(PSID sid);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Local files beside a copy: moves over a target, deletion, attributes and times. As on Windows, CreateFile with
// CREATE_NEW fails with ERROR_FILE_EXISTS on a name that is taken. Unlike Windows without its "\\?\" form, paths
// are not bounded by MAX_PATH: POSIX paths have no such bound.
BOOL MoveFileExA(LPCSTR existing_name, LPCSTR new_name, DWORD flags);
BOOL DeleteFileA(LPCSTR file_name);
DWORD GetFileAttributesA(LPCSTR file_name);

// The wide forms of the local file calls: UTF-16 names, which the stand-in turns into UTF-8 paths (an unpaired
// surrogate becomes U+FFFD).
HANDLE CreateFileW(LPCWSTR file_name, DWORD desired_access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES security_attributes, DWORD creation_disposition,
                   DWORD flags_and_attributes, HANDLE template_file);
BOOL MoveFileExW(LPCWSTR existing_name, LPCWSTR new_name, DWORD flags);
BOOL DeleteFileW(LPCWSTR file_name);
DWORD GetFileAttributesW(LPCWSTR file_name);
// Local files are sparse by nature here: FSCTL_SET_SPARSE on one succeeds (unless a test makes targets refuse it),
// and a file pointer moved past the end leaves a hole, as on a sparse NTFS file. SetEndOfFile cuts or extends the
// file to the pointer.
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER new_position, DWORD move_method);
BOOL SetEndOfFile(HANDLE file);
BOOL SetFileTime(HANDLE file, const FILETIME* creation_time, const FILETIME* last_access_time,
                 const FILETIME* last_write_time);

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR multi_byte, int multi_byte_count, LPWSTR wide,
                        int wide_count);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWSTR wide, int wide_count, LPSTR multi_byte,
                        int multi_byte_count, LPCSTR default_char, LPBOOL used_default_char);
