// The exports that put Linux fields before the host: columns (FsContentGetSupportedField, FsContentGetValue(W),
// FsContentGetDefaultView), FsExecuteFile(W) for "open" and "properties", and the background-copy flags.
#include "ext/volume.h"
#include "plugin/entry_details.h"
#include "plugin/entry_fields.h"
#include "plugin/exports.h"
#include "plugin/host_text.h"
#include "plugin/plugin_context.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <string>

namespace {

// A properties message is cut to this many characters of its kind: the root's, with a line per source, is the
// longest, and a host's message box shows no more anyway.
constexpr size_t properties_text_limit = 32u << 10;

// Copies text into a host buffer of max_bytes bytes, cut to fit with its NUL.
void copy_text(const std::string& utf8, char* target, int max_bytes)
{
    std::string ansi = ansi_from_utf8(utf8);
    size_t length = std::min(ansi.size(), static_cast<size_t>(max_bytes) - 1);
    std::memcpy(target, ansi.data(), length);
    target[length] = '\0';
}

int put_string(const std::string& utf8, void* value, int max_bytes, host_text_kind kind)
{
    if (kind == host_text_kind::ansi) {
        copy_text(utf8, static_cast<char*>(value), max_bytes);
        return ft_string;
    }
    size_t room = static_cast<size_t>(max_bytes) / sizeof(WCHAR);
    if (room == 0)
        return ft_fieldempty;
    wide_string wide = wide_from_utf8(utf8);
    size_t length = std::min(wide.size(), room - 1);
    auto* target = static_cast<WCHAR*>(value);
    std::memcpy(target, wide.data(), length * sizeof(WCHAR));
    target[length] = 0;
    return ft_stringw;
}

template <class number>
int put_number(number n, void* value, int max_bytes, int type)
{
    if (static_cast<size_t>(max_bytes) < sizeof n)
        return ft_fieldempty;
    std::memcpy(value, &n, sizeof n);
    return type;
}

int put_time(const inode_time& time, void* value, int max_bytes)
{
    return put_number(filetime_of(time), value, max_bytes, ft_datetime);
}

int volume_value(field_id field, const volume_fields& volume, void* value, int max_bytes, host_text_kind kind)
{
    switch (field) {
    case field_id::file_system: return put_string(volume.file_system, value, max_bytes, kind);
    case field_id::label:
        return volume.label.empty() ? ft_fieldempty : put_string(volume.label, value, max_bytes, kind);
    case field_id::uuid: return put_string(volume.uuid, value, max_bytes, kind);
    case field_id::volume_size: return put_number(static_cast<int64_t>(volume.size), value, max_bytes, ft_numeric_64);
    case field_id::free_space:
        return put_number(static_cast<int64_t>(volume.free_space), value, max_bytes, ft_numeric_64);
    case field_id::state: return put_string(volume.state, value, max_bytes, kind);
    default: break;
    }
    return ft_fieldempty;
}

int entry_value(field_id field, const entry_fields& entry, void* value, int max_bytes, host_text_kind kind)
{
    switch (field) {
    case field_id::owner: return put_string(entry.owner, value, max_bytes, kind);
    case field_id::group: return put_string(entry.group, value, max_bytes, kind);
    case field_id::permissions: return put_string(entry.permissions, value, max_bytes, kind);
    case field_id::inode: return put_number(static_cast<int64_t>(entry.inode), value, max_bytes, ft_numeric_64);
    case field_id::links: return put_number(static_cast<int32_t>(entry.links), value, max_bytes, ft_numeric_32);
    case field_id::link_target:
        return entry.link_target ? put_string(*entry.link_target, value, max_bytes, kind) : ft_fieldempty;
    case field_id::changed: return put_time(entry.changed, value, max_bytes);
    case field_id::created: return entry.created ? put_time(*entry.created, value, max_bytes) : ft_fieldempty;
    case field_id::allocated:
        return put_number(static_cast<int64_t>(entry.allocated), value, max_bytes, ft_numeric_64);
    default: break;
    }
    return ft_fieldempty;
}

// FsContentGetValue and FsContentGetValueW. The volume fields have values on volume folders only.
template <class text>
int content_value(text* file_name, int field_index, void* value, int max_bytes)
{
    if (field_index < 0 || field_index >= field_count)
        return ft_nosuchfield;
    if (file_name == nullptr || value == nullptr || max_bytes <= 0)
        return ft_fileerror;
    shared_context context = initialised_context();
    std::optional<std::string> path = host_path_utf8(file_name);
    if (context == nullptr || !path)
        return ft_fileerror;
    std::optional<located_entry> entry =
        locate_entry(*context, *path, name_view{context->host_rules, kind_of(file_name)});
    if (!entry)
        return ft_fileerror;
    if (entry->root)
        return ft_fieldempty;
    auto field = static_cast<field_id>(field_index);
    ext_volume& source = *context->volumes[static_cast<size_t>(entry->volume_index)].volume;
    if (field >= field_id::file_system) {
        if (!entry->volume_folder)
            return ft_fieldempty;
        return volume_value(field, fields_of_volume(*source.volume_info), value, max_bytes, kind_of(file_name));
    }
    std::optional<entry_fields> fields = fields_of_entry(source, entry->inode_number);
    if (!fields)
        return ft_fileerror;
    return entry_value(field, *fields, value, max_bytes, kind_of(file_name));
}

template <class text>
int content_value_export(text* file_name, int field_index, void* value, int max_bytes)
{
    try {
        return content_value(file_name, field_index, value, max_bytes);
    } catch (...) {
        return ft_fileerror;
    }
}

// Sends a message through the host's request callback of the call's kind, or the other kind when the host gave
// only that one. False when the host gave none.
bool send_message(const plugin_context& context, const std::string& title, const std::string& message,
                  host_text_kind kind)
{
    bool wide = kind == host_text_kind::wide ? context.request_callback_w != nullptr
                                             : context.request_callback == nullptr;
    if (wide && context.request_callback_w != nullptr) {
        wide_string wide_title = wide_from_utf8(title);
        wide_string wide_message = wide_from_utf8(message);
        wide_message.resize(std::min(wide_message.size(), properties_text_limit));
        WCHAR answer[MAX_PATH] = {};
        context.request_callback_w(context.plugin_number, request_message_ok, wide_title.data(), wide_message.data(),
                                   answer, MAX_PATH);
        return true;
    }
    if (context.request_callback == nullptr)
        return false;
    std::string ansi_title = ansi_from_utf8(title);
    std::string ansi_message = ansi_from_utf8(message);
    ansi_message.resize(std::min(ansi_message.size(), properties_text_limit));
    char answer[MAX_PATH] = {};
    context.request_callback(context.plugin_number, request_message_ok, ansi_title.data(), ansi_message.data(),
                             answer, MAX_PATH);
    return true;
}

bool verb_is(const std::string& verb, const char* name)
{
    return verb == name;
}

// FsExecuteFile and FsExecuteFileW: "open" on anything but a folder has the host copy it out and open it;
// "properties" shows the fields of an entry, a volume folder or the root in a message. Every other verb fails.
template <class text>
int execute(text* remote_name, text* verb_text)
{
    if (remote_name == nullptr || verb_text == nullptr)
        return exec_error;
    shared_context context = initialised_context();
    std::optional<std::string> path = host_path_utf8(remote_name);
    std::optional<std::string> verb = host_path_utf8(verb_text);
    if (context == nullptr || !path || !verb)
        return exec_error;
    std::optional<located_entry> entry =
        locate_entry(*context, *path, name_view{context->host_rules, kind_of(remote_name)});
    if (!entry)
        return exec_error;
    if (verb_is(*verb, "open"))
        return entry->root || entry->volume_folder ? exec_error : exec_yourself;
    if (!verb_is(*verb, "properties"))
        return exec_error;
    std::string title = entry->root ? std::string("Linux drives") : "Properties of " + *path;
    return send_message(*context, title, properties_text(*context, *path, *entry), kind_of(remote_name))
               ? exec_ok
               : exec_error;
}

template <class text>
int execute_export(text* remote_name, text* verb)
{
    try {
        return execute(remote_name, verb);
    } catch (...) {
        return exec_error;
    }
}

// Appends one item to a view string, the host's "\n" (backslash, n) between items; false when it no longer fits.
bool append_item(std::string& view, const std::string& item, int max_length)
{
    if (!view.empty())
        view += "\\n";
    view += item;
    return view.size() < static_cast<size_t>(max_length);
}

}  // namespace

TARNWICK_EXPORT int TARNWICK_CALL FsGetBackgroundFlags()
{
    // Every copy keeps its own state (plugin/get_file.cpp), so copies may run on any thread and side by side.
    return background_download;
}

TARNWICK_EXPORT void TARNWICK_CALL FsStatusInfo(char*, int, int)
{
}

TARNWICK_EXPORT void TARNWICK_CALL FsStatusInfoW(WCHAR*, int, int)
{
}

TARNWICK_EXPORT int TARNWICK_CALL FsContentGetSupportedField(int field_index, char* field_name, char* units,
                                                             int max_length)
{
    if (field_index < 0 || field_index >= field_count)
        return ft_nomorefields;
    if (field_name == nullptr || max_length <= 0)
        return ft_nomorefields;
    const field_info& info = info_of(static_cast<field_id>(field_index));
    copy_text(info.name, field_name, max_length);
    if (units != nullptr)
        units[0] = '\0';
    return info.type;
}

TARNWICK_EXPORT int TARNWICK_CALL FsContentGetValue(char* file_name, int field_index, int, void* field_value,
                                                    int max_length, int)
{
    return content_value_export(file_name, field_index, field_value, max_length);
}

TARNWICK_EXPORT int TARNWICK_CALL FsContentGetValueW(WCHAR* file_name, int field_index, int, void* field_value,
                                                     int max_length, int)
{
    return content_value_export(file_name, field_index, field_value, max_length);
}

TARNWICK_EXPORT BOOL TARNWICK_CALL FsContentGetDefaultView(char* view_contents, char* view_headers,
                                                          char* view_widths, char* view_options, int max_length)
{
    if (view_contents == nullptr || view_headers == nullptr || view_widths == nullptr || view_options == nullptr ||
        max_length <= 0)
        return FALSE;
    // The view a user of Linux expects beside name and size: owner, group and permissions.
    std::string contents, headers;
    std::string widths = "148,23";  // the name and extension columns
    bool fits = true;
    for (field_id field : {field_id::owner, field_id::group, field_id::permissions}) {
        fits = fits && append_item(contents, std::string("[=<fs>.") + info_of(field).name + "]", max_length) &&
               append_item(headers, info_of(field).name, max_length);
        widths += ",60";
    }
    std::string options = "-1|0";
    if (!fits || widths.size() >= static_cast<size_t>(max_length) || options.size() >= static_cast<size_t>(max_length))
        return FALSE;
    std::memcpy(view_contents, contents.c_str(), contents.size() + 1);
    std::memcpy(view_headers, headers.c_str(), headers.size() + 1);
    std::memcpy(view_widths, widths.c_str(), widths.size() + 1);
    std::memcpy(view_options, options.c_str(), options.size() + 1);
    return TRUE;
}

TARNWICK_EXPORT int TARNWICK_CALL FsExecuteFile(void*, char* remote_name, char* verb)
{
    return execute_export(remote_name, verb);
}

TARNWICK_EXPORT int TARNWICK_CALL FsExecuteFileW(void*, WCHAR* remote_name, WCHAR* verb)
{
    return execute_export(remote_name, verb);
}
