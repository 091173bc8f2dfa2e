// What the host asks of the plugin before any listing: the name of its folder and the host's default parameters.
#include "plugin/exports.h"

#include <algorithm>
#include <cstring>

TARNWICK_EXPORT void TARNWICK_CALL FsGetDefRootName(char* name, int max_length)
{
    if (name == nullptr || max_length <= 0)
        return;
    size_t length = std::min(std::strlen(default_root_name), static_cast<size_t>(max_length) - 1);
    std::memcpy(name, default_root_name, length);
    name[length] = '\0';
}

TARNWICK_EXPORT void TARNWICK_CALL FsSetDefaultParams(default_params*)
{
}
