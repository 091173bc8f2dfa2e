// The plugin's virtual paths: partition folder names, their parsing from host paths, and name code pages.
#pragma once

#include "plugin/plugin_context.h"

#include <cstddef>

inline constexpr size_t host_path_size = 260;  // host names and ANSI paths, with their terminating NUL
inline constexpr unsigned host_code_page = 0;   // the system ANSI code page
inline constexpr unsigned disk_code_page = 65001;  // names on disk are UTF-8

// The folder name of a drive's partition: "sd", the drive's letters, the partition number ("sda1", "sdb5"); a
// volume on the whole drive (number 0) has no number ("sdb"). Drives 0 to 25 take one letter; from drive 26 on the
// letters count on in base 26 ("sdaa1" is drive 26).
void format_partition_folder(char (&name)[host_path_size], int drive, int number);

// Finds the first component of a host path (a name after a separator) that names a shown volume. Returns the offset
// of the first character after that component, or -1 when none names one; volume (its index in context.volumes)
// is written only on success.
int parse_partition_folder(const plugin_context& context, const char* path, int& volume);

// Converts text between code pages through UTF-16 into a 260-byte target. A source length of -1 means up to and
// including the NUL. Returns the bytes written (with the NUL when the source had one), 0 on failure; with a null
// target, the source length in bytes.
int convert_code_page(unsigned source_code_page, const char* source, int source_length, unsigned target_code_page,
                      char* target);
