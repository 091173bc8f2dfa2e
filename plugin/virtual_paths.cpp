// Partition folder names, host path parsing and code-page conversion.
#include "plugin/virtual_paths.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

void format_partition_folder(char (&name)[host_path_size], int drive, int number)
{
    char letters[16];
    size_t count = 0;
    for (unsigned n = static_cast<unsigned>(drive) + 1; n > 0 && count < sizeof letters - 1; n /= 26) {
        --n;
        letters[count++] = static_cast<char>('a' + n % 26);
    }
    char ordered[16];
    for (size_t i = 0; i < count; ++i)
        ordered[i] = letters[count - 1 - i];
    ordered[count] = '\0';
    if (number == 0)
        std::snprintf(name, sizeof name, "%s%s", "sd", ordered);
    else
        std::snprintf(name, sizeof name, "%s%s%d", "sd", ordered, number);
}

int parse_partition_folder(const plugin_context& context, const char* path, int& drive, int& number)
{
    if (path == nullptr)
        return -1;
    const char marker[] = {host_path_separator, 's', 'd', '\0'};
    const char* found = std::strstr(path, marker);
    if (found == nullptr)
        return -1;
    const char* component = found + 3;
    const char* end = std::strchr(component, host_path_separator);
    size_t length = end ? static_cast<size_t>(end - component) : std::strlen(component);
    if (length < 1)
        return -1;

    const int64_t limit = std::numeric_limits<int32_t>::max();
    int64_t letter_value = 0;
    int64_t digits = 0;
    bool letter_seen = false;
    bool digit_seen = false;
    for (size_t i = 0; i < length; ++i) {
        char c = component[i];
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            if (digit_seen)
                return -1;
            letter_value = letter_value * 26 + (c - 96);
            letter_seen = true;
        } else if (c >= '0' && c <= '9') {
            if (!letter_seen)
                return -1;
            digits = digits * 10 + (c - '0');
            digit_seen = true;
        } else {
            return -1;
        }
        if (letter_value > limit || letter_value < -limit || digits > limit)
            return -1;
    }
    // Letters alone name a whole-drive volume, which is numbered 0; a written 0 names nothing.
    if (!letter_seen || (digit_seen && digits == 0))
        return -1;
    int64_t d = letter_value - 1;
    if (d < 0 || d >= context.disk_count)
        return -1;
    if (ext_index(context, static_cast<int>(d), static_cast<int>(digits)) < 0)
        return -1;
    drive = static_cast<int>(d);
    number = static_cast<int>(digits);
    return static_cast<int>(component - path + length);
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
