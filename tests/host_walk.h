// A host's session over the plugin's exports, bounded: start-up, the root listing, a walk of the folders with
// nested searches, and copies of small files into a scratch folder. Shared by the corruption sweep and the fuzzer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The budgets of the listings and copies hold for each partition folder.
struct walk_limits {
    int max_depth = 4;                 // folder levels below a partition folder
    int max_listings = 16;             // FsFindFirst calls
    int max_entries = 256;             // entries read from one listing
    int max_copies = 4;                // FsGetFile calls, for files that are not empty
    uint64_t max_copy_size = 1 << 20;  // files listed larger than this are not copied
    int copy_seconds = 5;              // the progress callback asks for an abort after this long
    bool keep_copies = false;          // walk_result::kept gets every copy's path, result and bytes
};

// One FsGetFile of the session: the remote path, the result, and the bytes the copy held (none when it left none).
struct walk_copy {
    std::string remote;
    int result = 0;
    std::vector<uint8_t> bytes;
};

struct walk_result {
    int init_result = -1;
    int partitions = 0;  // folders of the root listing
    int listings = 0;
    int entries = 0;
    int copies = 0;
    int copies_ok = 0;
    uint64_t digest = 0;  // of every name, attribute, size, copy result and copied byte, in the order seen
    // Faults of the plugin's answers that no disk can excuse, as text; empty when there were none.
    std::string fault;
    std::vector<walk_copy> kept;  // with walk_limits::keep_copies: every copy, in the order made
};

// Runs the session against the drives the stand-in serves now. Copies go to SCRATCH (an existing folder) and are
// deleted as soon as they are checked.
walk_result walk_as_host(const std::string& scratch, const walk_limits& limits = walk_limits{});
