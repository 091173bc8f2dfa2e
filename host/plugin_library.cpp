// Loading the plugin: dlopen and dlsym on Linux, LoadLibraryA and GetProcAddress on Windows.
#include "host/plugin_library.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace {

#ifdef _WIN32
void* open_library(const std::string& path, std::string& error)
{
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr)
        error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
    return reinterpret_cast<void*>(module);
}

void close_library(void* library)
{
    FreeLibrary(reinterpret_cast<HMODULE>(library));
}

// FARPROC goes through void (*)(), the one function pointer type a cast to any other does not warn about.
template <typename function>
function find_export(void* library, const char* name)
{
    FARPROC found = GetProcAddress(reinterpret_cast<HMODULE>(library), name);
    return reinterpret_cast<function>(reinterpret_cast<void (*)()>(found));
}
#else
void* open_library(const std::string& path, std::string& error)
{
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = reason ? reason : "cannot load " + path;
    }
    return library;
}

void close_library(void* library)
{
    dlclose(library);
}

template <typename function>
function find_export(void* library, const char* name)
{
    return reinterpret_cast<function>(dlsym(library, name));
}
#endif

}  // namespace

bool plugin_library::load(const std::string& path, std::string& error)
{
    if (library != nullptr) {
        error = "a plugin is already loaded";
        return false;
    }
    library = open_library(path, error);
    if (library == nullptr)
        return false;
    init = find_export<decltype(init)>(library, "FsInit");
    find_first = find_export<decltype(find_first)>(library, "FsFindFirst");
    find_next = find_export<decltype(find_next)>(library, "FsFindNext");
    find_close = find_export<decltype(find_close)>(library, "FsFindClose");
    get_file = find_export<decltype(get_file)>(library, "FsGetFile");
    init_w = find_export<decltype(init_w)>(library, "FsInitW");
    find_first_w = find_export<decltype(find_first_w)>(library, "FsFindFirstW");
    find_next_w = find_export<decltype(find_next_w)>(library, "FsFindNextW");
    get_file_w = find_export<decltype(get_file_w)>(library, "FsGetFileW");
    execute_file = find_export<decltype(execute_file)>(library, "FsExecuteFile");
    execute_file_w = find_export<decltype(execute_file_w)>(library, "FsExecuteFileW");
    supported_field = find_export<decltype(supported_field)>(library, "FsContentGetSupportedField");
    content_value = find_export<decltype(content_value)>(library, "FsContentGetValue");
    content_value_w = find_export<decltype(content_value_w)>(library, "FsContentGetValueW");
#ifdef _WIN32
    last_error = [] { return GetLastError(); };
#else
    last_error = find_export<decltype(last_error)>(library, "GetLastError");
#endif
    const char* missing = init == nullptr         ? "FsInit"
                          : find_first == nullptr ? "FsFindFirst"
                          : find_next == nullptr  ? "FsFindNext"
                          : find_close == nullptr ? "FsFindClose"
                                                  : nullptr;
    if (missing != nullptr) {
        error = path + " does not export " + missing + "; it is not a Tarnwick plugin";
        unload();
        return false;
    }
    return true;
}

void plugin_library::unload()
{
    if (library != nullptr)
        close_library(library);
    library = nullptr;
    init = nullptr;
    find_first = nullptr;
    find_next = nullptr;
    find_close = nullptr;
    get_file = nullptr;
    init_w = nullptr;
    find_first_w = nullptr;
    find_next_w = nullptr;
    get_file_w = nullptr;
    execute_file = nullptr;
    execute_file_w = nullptr;
    supported_field = nullptr;
    content_value = nullptr;
    content_value_w = nullptr;
}
