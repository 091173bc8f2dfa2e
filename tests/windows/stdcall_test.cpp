// Calls every export of the 32-bit plugin through a thunk that measures how many bytes of arguments it pops.
//
// A 32-bit host calls the exports as stdcall: the callee removes its own arguments. An export built with another
// convention, or with a parameter list the host does not use, leaves the host's stack off by a few bytes, which
// shows only later as a crash in the host. usage: tarnwick_stdcall_test PLUGIN [REMOTE_FILE]
// REMOTE_FILE, when given, is copied out by the copy exports (so that their progress callbacks run too); without it
// they are asked for a name that does not exist. Exits 0 when every export pops exactly its argument bytes.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

static_assert(sizeof(void*) == 4, "the stdcall contract is the 32-bit x86 one");

// Pushes count 32-bit arguments (arguments[0] on top, as a C caller does), calls function, stores its EAX in
// *result and returns ESP after the call minus ESP at the call: the bytes the callee popped. The stack is aligned
// to 16 bytes at the call and restored from EBP afterwards, so a callee that pops too much or too little cannot
// upset this program, only the count.
extern "C" uint32_t probe_call(const void* function, const uint32_t* arguments, uint32_t count, uint32_t* result);
asm(R"(
    .text
    .globl _probe_call
_probe_call:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    movl 12(%ebp), %esi
    movl 16(%ebp), %ecx
    leal (,%ecx,4), %eax
    movl %esp, %ebx
    subl %eax, %ebx
    andl $-16, %ebx
    movl %ebx, %esp
    xorl %edx, %edx
1:  cmpl %ecx, %edx
    je 2f
    movl (%esi,%edx,4), %eax
    movl %eax, (%esp,%edx,4)
    incl %edx
    jmp 1b
2:  call *8(%ebp)
    movl 20(%ebp), %ecx
    movl %eax, (%ecx)
    movl %esp, %eax
    subl %ebx, %eax
    leal -12(%ebp), %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    ret
)");

namespace {

// The host's callbacks, with the signatures the plugin declares; they count their calls and never abort.
int progress_calls = 0;
int __stdcall progress(int, char*, char*, int)
{
    ++progress_calls;
    return 0;
}
int __stdcall progress_w(int, wchar_t*, wchar_t*, int)
{
    ++progress_calls;
    return 0;
}
void __stdcall log_message(int, int, char*) {}
void __stdcall log_message_w(int, int, wchar_t*) {}
BOOL __stdcall request(int, int, char*, char*, char*, int)
{
    return FALSE;
}
BOOL __stdcall request_w(int, int, wchar_t*, wchar_t*, wchar_t*, int)
{
    return FALSE;
}

// The host's record for the default-parameters export.
struct default_params {
    int size;
    DWORD interface_version_low;
    DWORD interface_version_high;
    char default_ini_name[MAX_PATH];
};

// Everything the rows pass: buffers with room to spare, the names to list and copy, and each export's last result
// (a find handle for the ones that follow).
struct probe_state {
    char root[2] = "\\";
    wchar_t root_w[2] = L"\\";
    std::string remote;
    std::wstring remote_w;
    std::string local;
    std::wstring local_w;
    alignas(8) unsigned char find_data[4096] = {};
    alignas(8) unsigned char info[64] = {};
    char root_name[MAX_PATH] = {};
    char verb[8] = "open";
    wchar_t verb_w[8] = L"open";
    char field_name[MAX_PATH] = {};
    char units[MAX_PATH] = {};
    alignas(8) unsigned char value[1024] = {};
    char view[4][1024] = {};
    default_params params = {};
    std::map<std::string, uint32_t> results;

    // A missing result is INVALID_HANDLE_VALUE, which every export taking a handle accepts.
    uint32_t result_of(const char* name) const
    {
        auto found = results.find(name);
        return found == results.end() ? UINT32_MAX : found->second;
    }
};

// The 32-bit stack word of a pointer to data or code, a string's characters, or an int.
template <typename type>
uint32_t word(type* pointer)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

uint32_t word(const std::string& text)
{
    return word(text.c_str());
}

uint32_t word(const std::wstring& text)
{
    return word(text.c_str());
}

uint32_t word(int value)
{
    return static_cast<uint32_t>(value);
}

// The exports in the order a host calls them, with the bytes their parameters take on the stack (4 for each int,
// pointer or handle) and the arguments to push. A new export needs a row here, or this program fails on it.
struct export_row {
    const char* name;
    uint32_t argument_bytes;
    std::vector<uint32_t> (*arguments)(probe_state& state);
};

using args = std::vector<uint32_t>;
const export_row rows[] = {
    {"FsInit", 16, [](probe_state&) { return args{1, word(&progress), word(&log_message), word(&request)}; }},
    {"FsInitW", 16, [](probe_state&) { return args{1, word(&progress_w), word(&log_message_w), word(&request_w)}; }},
    {"FsSetDefaultParams", 4, [](probe_state& s) { return args{word(&s.params)}; }},
    {"FsGetDefRootName", 8, [](probe_state& s) { return args{word(s.root_name), word(MAX_PATH)}; }},
    {"FsFindFirst", 8, [](probe_state& s) { return args{word(s.root), word(s.find_data)}; }},
    {"FsFindNext", 8, [](probe_state& s) { return args{s.result_of("FsFindFirst"), word(s.find_data)}; }},
    {"FsFindClose", 4, [](probe_state& s) { return args{s.result_of("FsFindFirst")}; }},
    {"FsFindFirstW", 8, [](probe_state& s) { return args{word(s.root_w), word(s.find_data)}; }},
    {"FsFindNextW", 8, [](probe_state& s) { return args{s.result_of("FsFindFirstW"), word(s.find_data)}; }},
    {"FsFindClose", 4, [](probe_state& s) { return args{s.result_of("FsFindFirstW")}; }},
    {"FsGetFile", 16, [](probe_state& s) { return args{word(s.remote), word(s.local), 1, word(s.info)}; }},
    {"FsGetFileW", 16, [](probe_state& s) { return args{word(s.remote_w), word(s.local_w), 1, word(s.info)}; }},
    {"FsGetBackgroundFlags", 0, [](probe_state&) { return args{}; }},
    {"FsStatusInfo", 12, [](probe_state& s) { return args{word(s.root), 0, 1}; }},
    {"FsStatusInfoW", 12, [](probe_state& s) { return args{word(s.root_w), 1, 1}; }},
    {"FsExecuteFile", 12, [](probe_state& s) { return args{0, word(s.remote), word(s.verb)}; }},
    {"FsExecuteFileW", 12, [](probe_state& s) { return args{0, word(s.remote_w), word(s.verb_w)}; }},
    {"FsContentGetSupportedField", 16,
     [](probe_state& s) { return args{0, word(s.field_name), word(s.units), word(MAX_PATH)}; }},
    {"FsContentGetValue", 24,
     [](probe_state& s) { return args{word(s.remote), 0, 0, word(s.value), word(int(sizeof s.value)), 0}; }},
    {"FsContentGetValueW", 24,
     [](probe_state& s) { return args{word(s.remote_w), 0, 0, word(s.value), word(int(sizeof s.value)), 0}; }},
    {"FsContentGetDefaultView", 20, [](probe_state& s) {
         return args{word(s.view[0]), word(s.view[1]), word(s.view[2]), word(s.view[3]), word(1024)};
     }},
};

// The names in the loaded plugin's export table (the loader has mapped and checked the image).
std::vector<std::string> exported_names(HMODULE module)
{
    auto base = reinterpret_cast<const unsigned char*>(module);
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    std::vector<std::string> names;
    if (entry.VirtualAddress == 0 || entry.Size == 0)
        return names;
    auto directory = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + entry.VirtualAddress);
    auto name_table = reinterpret_cast<const DWORD*>(base + directory->AddressOfNames);
    for (DWORD i = 0; i < directory->NumberOfNames; ++i)
        names.emplace_back(reinterpret_cast<const char*>(base + name_table[i]));
    return names;
}

std::wstring widened(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        std::fputs("usage: tarnwick_stdcall_test PLUGIN [REMOTE_FILE]\n", stderr);
        return 2;
    }
    HMODULE plugin = LoadLibraryA(argv[1]);
    if (plugin == nullptr) {
        std::fprintf(stderr, "FAIL: cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }

    int failures = 0;
    for (const std::string& name : exported_names(plugin)) {
        bool known = false;
        for (const export_row& row : rows)
            known = known || name == row.name;
        if (!known) {
            std::fprintf(stderr, "FAIL: %s is exported but has no row in the stdcall test\n", name.c_str());
            ++failures;
        }
    }

    // The copies go to a file of our own in the temporary folder; an ASCII remote name widens unchanged.
    probe_state state;
    char temp[MAX_PATH];
    DWORD temp_length = GetTempPathA(MAX_PATH, temp);
    if (temp_length == 0 || temp_length >= MAX_PATH) {
        std::fputs("FAIL: no temporary folder\n", stderr);
        return 1;
    }
    state.remote = argc == 3 ? argv[2] : "\\no such partition\\no such file";
    state.remote_w = widened(state.remote);
    state.local = std::string(temp) + "tarnwick_stdcall_test_" + std::to_string(GetCurrentProcessId()) + ".out";
    state.local_w = widened(state.local);
    state.params.size = sizeof state.params;
    state.params.interface_version_high = 2;
    std::snprintf(state.params.default_ini_name, MAX_PATH, "%starnwick_stdcall_test.ini", temp);

    int called = 0;
    for (const export_row& row : rows) {
        FARPROC function = GetProcAddress(plugin, row.name);
        if (function == nullptr) {
            std::printf("%-18s not exported\n", row.name);
            continue;
        }
        std::vector<uint32_t> arguments = row.arguments(state);
        if (arguments.size() * 4 != row.argument_bytes) {
            std::fprintf(stderr, "FAIL: the row of %s pushes %u bytes, not %u\n", row.name,
                         static_cast<unsigned>(arguments.size() * 4), row.argument_bytes);
            ++failures;
            continue;
        }
        uint32_t result = 0;
        uint32_t popped = probe_call(reinterpret_cast<const void*>(function), arguments.data(),
                                     static_cast<uint32_t>(arguments.size()), &result);
        state.results[row.name] = result;
        ++called;
        std::printf("%-18s popped %2u bytes, returned %ld\n", row.name, popped, static_cast<long>(result));
        if (popped != row.argument_bytes) {
            std::fprintf(stderr, "FAIL: %s popped %u bytes of arguments, expected %u\n", row.name, popped,
                         row.argument_bytes);
            ++failures;
        }
    }
    DeleteFileA(state.local.c_str());
    std::printf("%d exports called, %d progress reports\n", called, progress_calls);
    if (called == 0) {
        std::fputs("FAIL: no export was called\n", stderr);
        ++failures;
    }
    return failures == 0 ? 0 : 1;
}
