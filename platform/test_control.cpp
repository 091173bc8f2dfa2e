// Test-only control of the POSIX stand-in, over its internal state.
#include "platform/test_control.h"

#include "platform/stand_in_state.h"

#include <memory>

namespace test_control {

void reset()
{
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    s.drives_from_tests = false;
    s.drives.clear();
    s.administrator = -1;
    s.message_boxes.clear();
    s.files_written.clear();
    s.drive_opens = 0;
    s.drive_write_opens = 0;
    s.drive_reads = 0;
    s.geometry_queries = 0;
    s.threads_created = 0;
    s.fail_read_at = 0;
    s.bad_from = 0;
    s.bad_to = 0;
    s.fail_create_thread = false;
    s.refuse_sparse = false;
    s.read_delay_ms = 0;
}

static int add_drive(stand_in_drive drive)
{
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    s.drives_from_tests = true;
    s.drives.push_back(std::move(drive));
    return static_cast<int>(s.drives.size()) - 1;
}

int add_drive_file(const std::string& path, int64_t geometry_answer)
{
    stand_in_drive drive;
    drive.path = path;
    drive.geometry_answer = geometry_answer;
    return add_drive(std::move(drive));
}

int add_drive_memory(std::vector<uint8_t> bytes, int64_t geometry_answer)
{
    stand_in_drive drive;
    drive.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
    drive.geometry_answer = geometry_answer;
    return add_drive(std::move(drive));
}

void use_no_drives()
{
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    s.drives_from_tests = true;
    s.drives.clear();
}

void detach_drive(int number)
{
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    if (number >= 0 && static_cast<size_t>(number) < s.drives.size())
        s.drives[static_cast<size_t>(number)] = stand_in_drive{};  // no path and no bytes: opening fails
}

void attach_drive_file(int number, const std::string& path)
{
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    if (number < 0)
        return;
    s.drives_from_tests = true;
    if (static_cast<size_t>(number) >= s.drives.size())
        s.drives.resize(static_cast<size_t>(number) + 1);
    s.drives[static_cast<size_t>(number)] = stand_in_drive{};
    s.drives[static_cast<size_t>(number)].path = path;
}

void set_administrator(bool administrator)
{
    stand_in().administrator = administrator ? 1 : 0;
}

void fail_nth_read(long n)
{
    stand_in_state& s = stand_in();
    s.fail_read_at = s.drive_reads + n;
}

void fail_reads_of(uint64_t offset, uint64_t length)
{
    stand_in_state& s = stand_in();
    s.bad_from = offset;
    s.bad_to = offset + length;
}

void fail_create_thread(bool fail)
{
    stand_in().fail_create_thread = fail;
}

void refuse_sparse(bool refuse)
{
    stand_in().refuse_sparse = refuse;
}

void delay_reads(long milliseconds)
{
    stand_in().read_delay_ms = milliseconds;
}

counters read_counters()
{
    stand_in_state& s = stand_in();
    return counters{s.drive_opens,      s.drive_write_opens, s.drive_reads,
                    s.geometry_queries, s.threads_created,   s.threads_running};
}

std::vector<std::string> message_boxes()
{
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.message_boxes;
}

std::vector<std::string> files_written()
{
    stand_in_state& s = stand_in();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.files_written;
}

}  // namespace test_control
