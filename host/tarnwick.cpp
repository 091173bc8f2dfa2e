// The `tarnwick` command-line host: loads the plugin, then lists folders or copies files and trees out of it.
#include "host/plugin_library.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int exit_success = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;

// The plugin takes paths, remote and local alike, of at most 1023 UTF-16 units through its wide exports and 259
// bytes through its ANSI ones (1024 and MAX_PATH with the terminator); the host refuses longer ones itself, so that
// the user learns why rather than getting "not found".
constexpr size_t wide_path_size = 1024;
constexpr size_t ansi_path_size = 260;

constexpr DWORD attribute_folder = 16;

#ifdef _WIN32
constexpr const char* plugin_file_name = sizeof(void*) == 8 ? "Tarnwick.wfx64" : "Tarnwick.wfx";
constexpr const char* synopsis = "usage: tarnwick [--plugin PATH] [--stats] [--ansi] COMMAND\n";
#else
constexpr const char* plugin_file_name = "Tarnwick.so";
constexpr const char* synopsis = "usage: tarnwick [--plugin PATH] [--stats] [--ansi] [--disk IMAGE]... COMMAND\n";
#endif

void usage(FILE* out)
{
    std::fputs(synopsis, out);
    std::fprintf(out,
                 "commands:\n"
                 "  ls [-l] PATH                      list a folder, one \"type size name\" line per entry\n"
                 "                                    (type d for a folder, - for a file); -l: one\n"
                 "                                    \"permissions owner group size name\" line per entry\n"
                 "  props PATH                        print the properties of an entry, a volume or the root\n"
                 "  get [-f] REMOTE LOCAL             copy a file out; LOCAL may be an existing folder\n"
                 "  get -r [-f] REMOTE_DIR LOCAL_DIR  copy a folder and everything below it into LOCAL_DIR\n"
                 "  -f overwrites existing local files\n"
                 "Remote paths use '%c'; the root lists the partitions (sda1, sda5, ...).\n"
                 "options:\n"
                 "  --plugin PATH  the plugin library (default: %s next to this program)\n"
                 "  --stats        after a copy, print to stderr how many progress calls the plugin made\n"
                 "                 and how long its FsGetFile calls took in all\n"
                 "  --ansi         speak to the plugin through its ANSI exports even when it has the wide\n"
                 "                 (UTF-16) ones; names outside the ANSI code page then show with '_'\n",
                 host_path_separator, plugin_file_name);
#ifndef _WIN32
    std::fputs("  --disk IMAGE   read IMAGE (a disk image or block device) as the next drive instead of\n"
               "                 /dev/sda, /dev/sdb, ...; repeatable\n",
               out);
#endif
}

int usage_error(const std::string& reason)
{
    std::fprintf(stderr, "tarnwick: %s\n", reason.c_str());
    usage(stderr);
    return exit_usage;
}

int failure(const std::string& message)
{
    std::fprintf(stderr, "tarnwick: %s\n", message.c_str());
    return exit_failure;
}

// The text conversions between the host's UTF-8 and what the plugin's exports carry: UTF-16 for the wide ones,
// the ANSI code page for the others (UTF-8 itself on Linux).
std::basic_string<WCHAR> utf16_of(const std::string& utf8)
{
    std::basic_string<WCHAR> out;
    for (size_t i = 0; i < utf8.size();) {
        auto byte = [&](size_t k) { return k < utf8.size() ? static_cast<unsigned char>(utf8[k]) : 0u; };
        unsigned lead = byte(i);
        size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        char32_t c = length == 1 ? (lead < 0x80 ? lead : 0xFFFD) : lead & (0x7F >> length);
        for (size_t k = 1; k < length; ++k)
            c = (c << 6) | (byte(i + k) & 0x3F);
        i += length;
        if (c >= 0x10000) {
            out += static_cast<WCHAR>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<WCHAR>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<WCHAR>(c);
        }
    }
    return out;
}

std::string utf8_of(const WCHAR* wide)
{
    std::string out;
    for (size_t i = 0; wide[i] != 0; ++i) {
        char32_t c = static_cast<char16_t>(wide[i]);
        if (c >= 0xD800 && c <= 0xDBFF && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char16_t>(wide[i + 1]) - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

#ifdef _WIN32
std::string ansi_of(const std::string& utf8)
{
    std::basic_string<WCHAR> wide = utf16_of(utf8);
    if (wide.empty())
        return {};
    int length = static_cast<int>(wide.size());
    int needed = WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0)
        WideCharToMultiByte(CP_ACP, 0, wide.data(), length, out.data(), needed, nullptr, nullptr);
    return out;
}

std::string utf8_of_ansi(const char* ansi)
{
    int needed = MultiByteToWideChar(CP_ACP, 0, ansi, -1, nullptr, 0);
    if (needed <= 0)
        return {};
    std::basic_string<WCHAR> wide(static_cast<size_t>(needed), 0);
    MultiByteToWideChar(CP_ACP, 0, ansi, -1, wide.data(), needed);
    return utf8_of(wide.c_str());
}
#else
std::string ansi_of(const std::string& utf8)
{
    return utf8;
}

std::string utf8_of_ansi(const char* ansi)
{
    return ansi;
}
#endif

// Local paths from and to the host's UTF-8, whatever the system's own narrow encoding.
fs::path local_path(const std::string& utf8)
{
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8_of(const fs::path& path)
{
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// Whether the plugin is spoken to through its wide exports (UTF-16) or its ANSI ones.
bool use_wide = false;

// A path's length as the plugin counts it: UTF-16 units for the wide exports, bytes of the ANSI code page for the
// others.
size_t plugin_length(const std::string& path)
{
    return use_wide ? utf16_of(path).size() : ansi_of(path).size();
}

// The length from which the plugin's exports in use refuse a path.
size_t path_size()
{
    return use_wide ? wide_path_size : ansi_path_size;
}

bool too_long(const std::string& path)
{
    return plugin_length(path) >= path_size();
}

std::string too_long_message(const std::string& path)
{
    return path + ": too long (" + std::to_string(plugin_length(path)) + (use_wide ? " UTF-16 units" : " bytes") +
           "; paths of " + std::to_string(path_size()) + " characters or more are refused)";
}

// What a result of FsGetFile means to the user. Result 2 also covers folders; result 6 covers devices, pipes and
// links that lead nowhere inside their partition, which the plugin does not copy.
const char* result_message(int result)
{
    switch (result) {
    case file_result_exists:
        return "exists, use -f";
    case file_result_not_found:
        return "not found or not a regular file";
    case file_result_read_error:
        return "read error on the drive";
    case file_result_write_error:
        return "cannot create or write the local file";
    case file_result_aborted:
        return "aborted";
    case file_result_not_supported:
        return "not a regular file, or a link that leads nowhere";
    default:
        return "unexpected result from the plugin";
    }
}

// Ctrl-C: the first press asks the copy in progress to abort; the handler is then back to the default, so a
// second press kills the process.
std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

void on_interrupt(int)
{
    interrupted.store(true);
}

void catch_interrupt()
{
#ifdef _WIN32
    // The C runtime resets SIGINT to the default before it calls the handler.
    std::signal(SIGINT, on_interrupt);
#else
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
#endif
}

// Asked once: a recursive copy starts a bar for every file.
bool stderr_is_terminal()
{
#ifdef _WIN32
    static const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    static const bool terminal = isatty(fileno(stderr)) != 0;
#endif
    return terminal;
}

// The progress bar of the copy in progress, on stderr and only when stderr is a terminal. The plugin reports
// often; the bar is redrawn at most every 100 ms, and shows 100% only once the copy has succeeded.
class progress_bar {
public:
    void start(std::string file_label)
    {
        enabled = stderr_is_terminal();
        label = std::move(file_label);
        drawn = false;
    }

    void update(int percent)
    {
        if (!enabled)
            return;
        auto now = std::chrono::steady_clock::now();
        if (drawn && now - last_draw < std::chrono::milliseconds(100))
            return;
        draw(percent);
        last_draw = now;
    }

    void finish(bool complete)
    {
        if (!enabled)
            return;
        if (complete)
            draw(100);
        if (drawn)
            std::fputc('\n', stderr);
        drawn = false;
    }

private:
    void draw(int percent)
    {
        constexpr int width = 30;
        percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
        int filled = percent * width / 100;
        std::fprintf(stderr, "\r%s [%s%s] %3d%%", label.c_str(), std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(width - filled), ' ').c_str(), percent);
        std::fflush(stderr);
        drawn = true;
    }

    bool enabled = false;
    bool drawn = false;
    std::string label;
    std::chrono::steady_clock::time_point last_draw;
};

progress_bar the_bar;

// What --stats reports: the progress calls received, and the time spent inside FsGetFile. Progress calls come on
// the copying thread, but a plugin may make them from any thread: the counter is atomic.
std::atomic<unsigned long long> progress_calls{0};
std::chrono::steady_clock::duration copy_time{};

void print_stats()
{
    double seconds = std::chrono::duration<double>(copy_time).count();
    unsigned long long calls = progress_calls.load();
    std::fprintf(stderr, "tarnwick: stats: progress_calls=%llu copy_seconds=%.3f calls_per_second=%.1f\n", calls,
                 seconds, seconds > 0 ? static_cast<double>(calls) / seconds : 0.0);
}

int TARNWICK_CALL on_progress(int, char*, char*, int percent)
{
    progress_calls.fetch_add(1, std::memory_order_relaxed);
    if (interrupted.load())
        return 1;
    the_bar.update(percent);
    return 0;
}

int TARNWICK_CALL on_progress_w(int plugin_number, WCHAR*, WCHAR*, int percent)
{
    return on_progress(plugin_number, nullptr, nullptr, percent);
}

// The plugin's log lines go to stderr, where a file manager would show them in its log; an important error (type
// 6) is marked as one. The plugin may log from any thread: each line is written by one call.
void print_log_line(int message_type, const std::string& text)
{
    constexpr int important_error = 6;
    std::string line = std::string("tarnwick: ") + (message_type == important_error ? "error: " : "") + text + "\n";
    std::fputs(line.c_str(), stderr);
}

void TARNWICK_CALL on_log(int, int message_type, char* text)
{
    if (text != nullptr)
        print_log_line(message_type, utf8_of_ansi(text));
}

void TARNWICK_CALL on_log_w(int, int message_type, WCHAR* text)
{
    if (text != nullptr)
        print_log_line(message_type, utf8_of(text));
}

// The plugin's messages (a properties block) go to stdout, where a file manager would show a message box; any
// other request is declined.
constexpr int request_message_ok = 8;

BOOL TARNWICK_CALL on_request(int, int request_type, char* title, char* text, char*, int)
{
    if (request_type != request_message_ok || title == nullptr || text == nullptr)
        return FALSE;
    std::printf("%s\n%s", utf8_of_ansi(title).c_str(), utf8_of_ansi(text).c_str());
    return TRUE;
}

BOOL TARNWICK_CALL on_request_w(int, int request_type, WCHAR* title, WCHAR* text, WCHAR*, int)
{
    if (request_type != request_message_ok || title == nullptr || text == nullptr)
        return FALSE;
    std::printf("%s\n%s", utf8_of(title).c_str(), utf8_of(text).c_str());
    return TRUE;
}

// The components of a remote path: empty and "." ones dropped, ".." taking one back (never above the root).
std::vector<std::string> remote_components(const std::string& path)
{
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(host_path_separator, start);
        if (end == std::string::npos)
            end = path.size();
        std::string component = path.substr(start, end - start);
        if (component == "..") {
            if (!components.empty())
                components.pop_back();
        } else if (!component.empty() && component != ".") {
            components.push_back(component);
        }
        start = end + 1;
    }
    return components;
}

std::string remote_join(const std::string& folder, const std::string& name)
{
    bool root = folder.size() == 1 && folder[0] == host_path_separator;
    return root ? folder + name : folder + host_path_separator + name;
}

std::string remote_path(const std::vector<std::string>& components)
{
    std::string path(1, host_path_separator);
    for (const std::string& component : components)
        path = remote_join(path, component);
    return path;
}

// One entry of a listing, its name in UTF-8.
struct listed_entry {
    DWORD attributes = 0;
    uint64_t size = 0;
    std::string name;
};

template <class record_type>
listed_entry entry_of(record_type& record, std::string name)
{
    record.cFileName[sizeof record.cFileName / sizeof record.cFileName[0] - 1] = 0;
    return listed_entry{record.dwFileAttributes,
                        (static_cast<uint64_t>(record.nFileSizeHigh) << 32) | record.nFileSizeLow, std::move(name)};
}

// One search of folder: visit(entry) for every entry but "." and "..", until it returns false. The handle stays
// open while visit runs, so visit may search subfolders. One record serves the whole search, as in a file
// manager. Returns false when the plugin has no listing for folder.
// What the plugin's last error says of a folder it could not list.
std::string listing_failure(DWORD error)
{
    switch (error) {
    case ERROR_READ_FAULT: return "read error on the drive, or a damaged folder";
    case ERROR_NOT_SUPPORTED: return "a folder the plugin cannot read (encrypted)";
    case ERROR_DIRECTORY: return "not a folder";
    case ERROR_PATH_NOT_FOUND:
    case ERROR_FILE_NOT_FOUND: return "no such folder";
    case ERROR_NOT_ENOUGH_MEMORY: return "out of memory";
    default: return "cannot list the folder";
    }
}

template <typename visitor>
bool for_each_entry(const plugin_library& plugin, const std::string& folder, visitor visit, DWORD* error = nullptr)
{
    auto each = [&](auto& record, HANDLE search, auto next, auto name_of) {
        if (search == INVALID_HANDLE_VALUE) {
            if (error)
                *error = plugin.last_error ? plugin.last_error() : 0;
            return false;
        }
        do {
            listed_entry entry = entry_of(record, "");
            entry.name = name_of(record);
            if (entry.name != "." && entry.name != ".." && !visit(entry))
                break;
        } while (next(search, &record));
        plugin.find_close(search);
        return true;
    };
    if (use_wide) {
        std::basic_string<WCHAR> path = utf16_of(folder);
        WIN32_FIND_DATAW record;
        return each(record, plugin.find_first_w(path.data(), &record), plugin.find_next_w,
                    [](const WIN32_FIND_DATAW& r) { return utf8_of(r.cFileName); });
    }
    std::string path = ansi_of(folder);
    WIN32_FIND_DATAA record;
    return each(record, plugin.find_first(path.data(), &record), plugin.find_next,
                [](const WIN32_FIND_DATAA& r) { return utf8_of_ansi(r.cFileName); });
}

// Whether each component names a folder in the one before it, from the root down: empty when it does, else why
// not (a folder on the way that cannot be listed says why). A listing alone does not prove that a folder exists:
// the plugin lists the nearest folder it reaches when a component is missing.
std::string folder_missing(const plugin_library& plugin, const std::vector<std::string>& components)
{
    std::vector<std::string> reached;
    for (const std::string& component : components) {
        bool found = false;
        DWORD error = 0;
        bool listed = for_each_entry(
            plugin, remote_path(reached),
            [&](const listed_entry& entry) {
                found = component == entry.name && (entry.attributes & attribute_folder) != 0;
                return !found;
            },
            &error);
        if (!listed && !reached.empty())
            return listing_failure(error);
        if (!found)
            return "no such folder";
        reached.push_back(component);
    }
    return "";
}

// The index of the plugin's content field of that name; -1 when it has none.
int content_field(const plugin_library& plugin, const char* wanted)
{
    constexpr int field_limit = 64;  // more than any plugin of this kind offers
    char name[ansi_path_size];
    char units[ansi_path_size];
    for (int i = 0; plugin.supported_field != nullptr && i < field_limit; ++i) {
        if (plugin.supported_field(i, name, units, sizeof name) == 0)
            break;
        if (std::string_view(name) == wanted)
            return i;
    }
    return -1;
}

// A string field of an entry as text; "?" when the plugin gives no string for it.
std::string content_text(const plugin_library& plugin, const std::string& path, int field)
{
    constexpr int ft_string = 8;
    constexpr int ft_stringw = 11;
    if (field < 0)
        return "?";
    if (use_wide && plugin.content_value_w != nullptr) {
        std::basic_string<WCHAR> wide = utf16_of(path);
        WCHAR value[ansi_path_size] = {};
        int type = plugin.content_value_w(wide.data(), field, 0, value, sizeof value, 0);
        return type == ft_stringw ? utf8_of(value) : type == ft_string ? utf8_of_ansi(reinterpret_cast<char*>(value))
                                                                       : "?";
    }
    if (plugin.content_value == nullptr)
        return "?";
    std::string ansi = ansi_of(path);
    char value[ansi_path_size] = {};
    return plugin.content_value(ansi.data(), field, 0, value, sizeof value, 0) == ft_string ? utf8_of_ansi(value)
                                                                                             : "?";
}

int list_folder(const plugin_library& plugin, const std::string& path, bool long_form)
{
    std::vector<std::string> components = remote_components(path);
    std::string folder = remote_path(components);
    if (too_long(folder))
        return failure(too_long_message(folder));
    if (std::string missing = folder_missing(plugin, components); !missing.empty())
        return failure("ls " + path + ": " + missing);
    DWORD error = 0;
    int fields[3] = {-1, -1, -1};
    if (long_form) {
        fields[0] = content_field(plugin, "Permissions");
        fields[1] = content_field(plugin, "Owner");
        fields[2] = content_field(plugin, "Group");
    }
    bool listed = for_each_entry(plugin, folder, [&](const listed_entry& entry) {
        bool is_folder = (entry.attributes & attribute_folder) != 0;
        unsigned long long size = is_folder ? 0 : entry.size;
        if (long_form) {
            std::string entry_path = remote_join(folder, entry.name);
            std::printf("%s %s %s %llu %s\n", content_text(plugin, entry_path, fields[0]).c_str(),
                        content_text(plugin, entry_path, fields[1]).c_str(),
                        content_text(plugin, entry_path, fields[2]).c_str(), size, entry.name.c_str());
        } else {
            std::printf("%c %llu %s\n", is_folder ? 'd' : '-', size, entry.name.c_str());
        }
        return true;
    }, &error);
    // The root of a machine without ext partitions has no listing: nothing to show.
    if (!listed && !components.empty())
        return failure("ls " + path + ": " + listing_failure(error));
    return std::fflush(stdout) == 0 ? exit_success : failure("cannot write the listing");
}

// FsExecuteFile with the verb "properties": the plugin answers through the request callback, which prints.
int show_properties(const plugin_library& plugin, const std::string& path)
{
    std::string remote = remote_path(remote_components(path));
    if (too_long(remote))
        return failure(too_long_message(remote));
    int result = -2;
    if (use_wide && plugin.execute_file_w != nullptr) {
        std::basic_string<WCHAR> wide = utf16_of(remote);
        std::basic_string<WCHAR> verb = utf16_of("properties");
        result = plugin.execute_file_w(nullptr, wide.data(), verb.data());
    } else if (plugin.execute_file != nullptr) {
        std::string ansi = ansi_of(remote);
        std::string verb = "properties";
        result = plugin.execute_file(nullptr, ansi.data(), verb.data());
    } else {
        return failure("the plugin has no FsExecuteFile: it cannot show properties");
    }
    if (result != 0)
        return failure("props " + path + ": no such entry, or it cannot be read");
    return std::fflush(stdout) == 0 ? exit_success : failure("cannot write the properties");
}

// One FsGetFile call with the progress bar. A copy that failed reading or was aborted leaves a partial file, which
// is removed here.
int copy_file(const plugin_library& plugin, const std::string& remote, const std::string& local, bool overwrite,
              const std::string& label)
{
    the_bar.start(label);
    auto start = std::chrono::steady_clock::now();
    int flags = overwrite ? copy_flag_overwrite : 0;
    int result = file_result_not_found;
    if (use_wide) {
        std::basic_string<WCHAR> remote_name = utf16_of(remote);
        std::basic_string<WCHAR> local_name = utf16_of(local);
        result = plugin.get_file_w(remote_name.data(), local_name.data(), flags, nullptr);
    } else {
        std::string remote_name = ansi_of(remote);
        std::string local_name = ansi_of(local);
        result = plugin.get_file(remote_name.data(), local_name.data(), flags, nullptr);
    }
    copy_time += std::chrono::steady_clock::now() - start;
    the_bar.finish(result == file_result_ok);
    if (result == file_result_read_error || result == file_result_aborted) {
        std::error_code ignored;
        fs::remove(local_path(local), ignored);
    }
    return result;
}

int get_file(const plugin_library& plugin, const std::string& remote_argument, const std::string& local_argument,
             bool overwrite)
{
    std::vector<std::string> components = remote_components(remote_argument);
    std::string remote = remote_path(components);
    if (too_long(remote))
        return failure(too_long_message(remote));
    fs::path local = local_path(local_argument);
    std::error_code error;
    if (!components.empty() && fs::is_directory(local, error))
        local /= local_path(components.back());
    if (too_long(utf8_of(local)))
        return failure(too_long_message(utf8_of(local)));
    int result = copy_file(plugin, remote, utf8_of(local), overwrite, components.empty() ? remote : components.back());
    if (result == file_result_ok)
        return exit_success;
    return failure("get " + remote + ": " + result_message(result));
}

// A recursive copy. Failures of single entries are reported and the copy carries on; an abort stops it.
class tree_copy {
public:
    tree_copy(const plugin_library& plugin, bool overwrite) : plugin(plugin), overwrite(overwrite) {}

    // Copies what remote holds into local, an existing folder.
    void copy_folder(const std::string& remote, const fs::path& local)
    {
        DWORD error = 0;
        bool listed = for_each_entry(plugin, remote, [&](const listed_entry& entry) {
            copy_entry(remote, local, entry);
            if (interrupted.load())
                aborted = true;
            return !aborted;
        }, &error);
        if (!listed)
            report(remote + ": " + listing_failure(error));
    }

    bool failed = false;
    bool aborted = false;

private:
    void copy_entry(const std::string& folder, const fs::path& local_folder, const listed_entry& entry)
    {
        std::string remote = remote_join(folder, entry.name);
        fs::path local = local_folder / local_path(entry.name);
        if (too_long(remote))
            return report(too_long_message(remote));
        if (too_long(utf8_of(local)))
            return report(too_long_message(utf8_of(local)));
        if ((entry.attributes & attribute_folder) != 0) {
            std::error_code error;
            fs::create_directory(local, error);
            if (error)
                return report("cannot create " + utf8_of(local) + ": " + error.message());
            return copy_folder(remote, local);
        }
        int result = copy_file(plugin, remote, utf8_of(local), overwrite, remote);
        if (result == file_result_not_found || result == file_result_not_supported)
            std::fprintf(stderr, "tarnwick: skipped %s: %s\n", remote.c_str(), result_message(result));
        else if (result == file_result_aborted)
            aborted = true;
        else if (result != file_result_ok)
            report("get " + remote + ": " + result_message(result));
    }

    void report(const std::string& message)
    {
        failure(message);
        failed = true;
    }

    const plugin_library& plugin;
    bool overwrite;
};

int get_tree(const plugin_library& plugin, const std::string& remote_argument, const std::string& local_argument,
             bool overwrite)
{
    std::vector<std::string> components = remote_components(remote_argument);
    std::string remote = remote_path(components);
    if (too_long(remote))
        return failure(too_long_message(remote));
    if (too_long(local_argument))
        return failure(too_long_message(local_argument));
    // Checked before the local folder is made, so that a mistyped remote path leaves nothing behind.
    if (std::string missing = folder_missing(plugin, components); !missing.empty())
        return failure("get -r " + remote_argument + ": " + missing);
    std::error_code error;
    fs::path local = local_path(local_argument);
    fs::create_directories(local, error);
    if (error || !fs::is_directory(local))
        return failure("cannot create the folder " + local_argument +
                       (error ? ": " + error.message() : ": a file of that name exists"));
    tree_copy copy(plugin, overwrite);
    copy.copy_folder(remote, local);
    if (copy.aborted)
        return failure("get -r " + remote + ": aborted");
    return copy.failed ? exit_failure : exit_success;
}

fs::path default_plugin_path(const char* argv0)
{
#ifdef _WIN32
    char module[4096];
    DWORD length = GetModuleFileNameA(nullptr, module, sizeof module);
    fs::path program = length > 0 && length < sizeof module ? fs::path(std::string(module, length)) : fs::path(argv0);
#else
    std::error_code error;
    fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error)
        program = argv0;
#endif
    return program.parent_path() / plugin_file_name;
}

struct command_line {
    std::string plugin;
    std::vector<std::string> disks;
    std::string command;
    std::vector<std::string> operands;
    bool recursive = false;
    bool overwrite = false;
    bool stats = false;
    bool ansi = false;
    bool long_form = false;
};

// Parses argv into line. Returns the exit status when there is nothing more to do (help, or a usage error).
std::optional<int> parse(const std::vector<std::string>& args, command_line& line)
{
    size_t i = 0;
    for (; i < args.size() && args[i].starts_with("-"); ++i) {
        if (args[i] == "-h" || args[i] == "--help") {
            usage(stdout);
            return exit_success;
        }
        if (args[i] == "--stats") {
            line.stats = true;
            continue;
        }
        if (args[i] == "--ansi") {
            line.ansi = true;
            continue;
        }
        if (args[i] != "--plugin" && args[i] != "--disk")
            return usage_error("unknown option " + args[i]);
        if (i + 1 == args.size())
            return usage_error(args[i] + " needs a value");
        std::string value = args[++i];
        if (args[i - 1] == "--plugin") {
            line.plugin = value;
            continue;
        }
#ifdef _WIN32
        return usage_error("--disk is not available on Windows: the plugin reads the physical drives");
#else
        if (value.empty() || value.find(':') != std::string::npos)
            return usage_error("--disk " + value + ": an image path must be non-empty and hold no ':'");
        line.disks.push_back(value);
#endif
    }
    if (i == args.size())
        return usage_error("no command");
    line.command = args[i++];
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (line.command == "get" && line.operands.empty() && arg.size() > 1 && arg[0] == '-') {
            for (char flag : std::string_view(arg).substr(1)) {
                if (flag == 'r')
                    line.recursive = true;
                else if (flag == 'f')
                    line.overwrite = true;
                else
                    return usage_error("unknown option " + arg + " of get");
            }
            continue;
        }
        if (line.command == "ls" && line.operands.empty() && arg == "-l") {
            line.long_form = true;
            continue;
        }
        line.operands.push_back(arg);
    }
    if (line.command == "ls" || line.command == "props") {
        if (line.operands.size() != 1)
            return usage_error(line.command + " takes one PATH");
    } else if (line.command == "get") {
        if (line.operands.size() != 2)
            return usage_error(line.recursive ? "get -r takes REMOTE_DIR and LOCAL_DIR" : "get takes REMOTE and LOCAL");
    } else {
        return usage_error("unknown command " + line.command);
    }
    return std::nullopt;
}

}  // namespace

// The command line in UTF-8, without the program's name.
int run(const std::vector<std::string>& args, const char* argv0)
{
    command_line line;
    if (std::optional<int> status = parse(args, line))
        return *status;

#ifndef _WIN32
    if (!line.disks.empty()) {
        std::string joined;
        for (const std::string& disk : line.disks)
            joined += (joined.empty() ? "" : ":") + disk;
        setenv("TARNWICK_DISKS", joined.c_str(), 1);
    }
#endif

    fs::path plugin_path = line.plugin.empty() ? default_plugin_path(argv0) : local_path(line.plugin);
    // An absolute path, so that the loader does not search its library path for a bare file name.
    std::error_code error;
    fs::path absolute = fs::absolute(plugin_path, error);
    plugin_library plugin;
    std::string load_error;
    if (!plugin.load((error ? plugin_path : absolute).string(), load_error))
        return failure(load_error);
    // As a file manager does: the wide exports when the plugin has them, unless --ansi asks for the others.
    use_wide = plugin.has_wide() && !line.ansi;
    if (line.command == "get" && !use_wide && plugin.get_file == nullptr)
        return failure(plugin_path.string() + " does not export FsGetFile: it cannot copy files");

    int init_result = use_wide ? plugin.init_w(0, on_progress_w, on_log_w, on_request_w)
                               : plugin.init(0, on_progress, on_log, on_request);
    if (init_result != 0)
        return failure("the plugin did not start (FsInit returned " + std::to_string(init_result) +
                       "); it reads the drives only for an administrator");

    if (line.command == "ls")
        return list_folder(plugin, line.operands[0], line.long_form);
    if (line.command == "props")
        return show_properties(plugin, line.operands[0]);
    catch_interrupt();
    int status = line.recursive ? get_tree(plugin, line.operands[0], line.operands[1], line.overwrite)
                                : get_file(plugin, line.operands[0], line.operands[1], line.overwrite);
    if (line.stats)
        print_stats();
    return status;
}

#ifdef _WIN32
// The arguments in UTF-16, so that any name reaches the plugin whatever the ANSI code page holds.
int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(utf8_of(reinterpret_cast<const WCHAR*>(argv[i])));
    return run(args, "tarnwick.exe");
}
#else
int main(int argc, char** argv)
{
    return run(std::vector<std::string>(argv + 1, argv + argc), argv[0]);
}
#endif
