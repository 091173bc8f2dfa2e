// Volume folder names, host path parsing and code-page conversion.
#include "plugin/virtual_paths.h"

#include "storage/assembly.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

void format_partition_folder(char (&name)[host_path_size], int drive, int number)
{
    std::snprintf(name, sizeof name, "%s", linux_source_name(drive, number).c_str());
}

int parse_partition_folder(const plugin_context& context, const char* path, int& volume)
{
    if (path == nullptr)
        return -1;
    // Each component after a separator in turn, up to the first that names a volume. A path has at most
    // host_path_size characters from the host, so the walk is short; a longer one is walked once all the same.
    for (const char* at = std::strchr(path, host_path_separator); at != nullptr;
         at = std::strchr(at + 1, host_path_separator)) {
        const char* component = at + 1;
        const char* end = std::strchr(component, host_path_separator);
        size_t length = end ? static_cast<size_t>(end - component) : std::strlen(component);
        if (length == 0)
            continue;
        int found = volume_index(context, std::string(component, length));
        if (found >= 0) {
            volume = found;
            return static_cast<int>(component - path + length);
        }
    }
    return -1;
}

int convert_code_page(unsigned source_code_page, const char* source, int source_length, unsigned target_code_page,
                      char* target)
{
    if (source == nullptr || source_length < -1)
        return 0;
    size_t n = source_length == -1 ? std::strlen(source) + 1 : static_cast<size_t>(source_length);
    if (target == nullptr)
        return static_cast<int>(n);
    if (n == 0 || n > static_cast<size_t>(std::numeric_limits<int>::max()) - 1)
        return 0;
    try {
        // One unit more than the input and zero-filled, so that a counted input still converts terminated.
        std::vector<WCHAR> wide(n + 1, 0);
        MultiByteToWideChar(source_code_page, 0, source, source_length, wide.data(), static_cast<int>(n));
        return WideCharToMultiByte(target_code_page, 0, wide.data(), -1, target, static_cast<int>(host_path_size),
                                   nullptr, nullptr);
    } catch (const std::bad_alloc&) {
        return 0;
    }
}
