// Helpers of the tests that drive the plugin through its exports.
#pragma once

#include "plugin/exports.h"
#include "test_support.h"

#include <string>
#include <vector>

// A memory disk carrying copies of the small ext2 fixture volume in the given primary slots and, when logical is
// set, as the first logical partition (number 5).
memory_disk disk_with_volumes(const std::vector<int>& primary_slots, bool logical);

// Every entry name of a listing through FsFindFirst and FsFindNext, or {"<invalid>"} for the invalid handle.
std::vector<std::string> list_names(const std::string& path);
