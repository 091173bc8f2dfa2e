// The log messages for a volume whose journal could not be replayed in whole, and for what the assembly does not show.
#include "plugin/recovery_notice.h"

#include "ext/volume.h"
#include "platform/lock.h"
#include "plugin/host_text.h"
#include "plugin/virtual_paths.h"

#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

std::string why_not_replayed(journal_problem problem)
{
    switch (problem) {
    case journal_problem::not_found: return "its journal is on another device or missing";
    case journal_problem::unusable_inode:
        return "its journal inode is unusable, and the superblock keeps no usable copy of its map";
    case journal_problem::bad_superblock: return "the journal's superblock does not check out";
    case journal_problem::read_failed: return "a block of the journal could not be read";
    case journal_problem::corrupt_log: return "the journal is damaged";
    case journal_problem::too_large: return "the journal holds more changes than this plugin replays";
    case journal_problem::budget_spent: return "the memory for replaying journals is used up by other volumes";
    case journal_problem::replayed_metadata: return "the superblock the journal gives does not check out";
    case journal_problem::none: break;
    }
    return "";
}

// Sends one line through whichever log callback the host gave.
void tell(const plugin_context& context, const std::string& text)
{
    if (context.log_callback_w != nullptr) {
        wide_string wide = wide_from_utf8(text);
        context.log_callback_w(context.plugin_number, log_important_error, wide.data());
    } else if (context.log_callback != nullptr) {
        std::string ansi = ansi_from_utf8(text);
        context.log_callback(context.plugin_number, log_important_error, ansi.data());
    }
}

// The storage notices told so far in this process.
struct told_notices {
    plugin_lock lock;
    std::unordered_set<std::string> texts;
};

told_notices told;

}  // namespace

std::string incomplete_recovery_text(const ext2_volume_info& volume, const std::string& folder)
{
    if (!journal_recovery_incomplete(volume))
        return {};
    const journal_outcome& outcome = volume.journal_recovery;
    std::string text = folder + ": the volume was not cleanly unmounted";
    if (outcome.problem != journal_problem::none)
        return text + ", and its journal could not be replayed (" + why_not_replayed(outcome.problem) +
               "): it is shown as it was before the changes in its journal, none of which are applied.";
    text += ", and not all of its journal could be replayed:";
    if (outcome.commit_failed)
        text += " transaction " + std::to_string(outcome.end_sequence) +
                " fails its commit checksum, so neither it nor any later transaction is applied;";
    if (outcome.skipped_blocks == 1)
        text += " 1 block logged in transaction " + std::to_string(outcome.first_skipped_sequence) + " (volume block " +
                std::to_string(outcome.first_skipped_block) +
                ") could not be applied (its checksum fails, it could not be read, or it lies outside the volume) "
                "and keeps its older content;";
    else if (outcome.skipped_blocks > 1)
        // Appended piece by piece: GCC 12 at -O3 warns falsely about a literal added before a temporary string.
        text.append(" ")
            .append(std::to_string(outcome.skipped_blocks))
            .append(" logged blocks could not be applied (their checksums fail, they could not be read, or they lie "
                    "outside the volume; the first is volume block ")
            .append(std::to_string(outcome.first_skipped_block))
            .append(", logged in transaction ")
            .append(std::to_string(outcome.first_skipped_sequence))
            .append(") and keep their older contents;");
    if (outcome.fast_commits_not_applied)
        text += " the fast commits logged after its last transaction could not be replayed, and none of them is "
                "applied;";
    text.back() = '.';
    return text + " What depends on these changes shows an older state.";
}

void tell_incomplete_recovery(const plugin_context& context, const shown_volume& shown)
{
    const ext_volume& source = *shown.volume;
    if (context.log_callback == nullptr && context.log_callback_w == nullptr)
        return;
    if (!source.volume_info || !journal_recovery_incomplete(*source.volume_info) ||
        source.volume_info->journal_recovery_told.exchange(true))
        return;
    tell(context, incomplete_recovery_text(*source.volume_info, shown.name));
}

void tell_storage_notices(const plugin_context& context)
{
    if (context.log_callback == nullptr && context.log_callback_w == nullptr)
        return;
    std::vector<const std::string*> untold;
    {
        std::lock_guard<plugin_lock> guard(told.lock);
        for (const std::string& notice : context.storage_notices)
            if (told.texts.size() < max_told_notices && told.texts.insert(notice).second)
                untold.push_back(&notice);
    }
    for (const std::string* notice : untold)
        tell(context, *notice);
}
