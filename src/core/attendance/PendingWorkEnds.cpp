#include "attendance/PendingWorkEnds.h"

#include "SettingsStore.h"
#include "settings/SettingsKeys.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <string_view>

namespace stampo {

namespace {

constexpr const char* listKey = SettingsKeys::keepWorkEnds;
constexpr const char* recordKey = SettingsKeys::keepRecordno;
constexpr const char* timeKey = SettingsKeys::keepOuttime;
constexpr const char* separator = ", ";
// Longer than any id a 64-bit counter gives.
constexpr std::size_t maxRecordIdLength = 20;

// kintone's date-time text as written here: "2024-05-01T09:00:00Z".
bool isDateTime(const std::string& text) {
    constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
    if (text.size() != shape.size())
        return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
            return false;
    return true;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

bool PendingWorkEnds::isRecordId(const std::string& text) {
    return !text.empty() && text.size() <= maxRecordIdLength &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<PendingWorkEnd> PendingWorkEnds::read(const SettingsStore& store) {
    if (const auto list = store.objectForKey(listKey))
        return parse(*list);
    const auto record = store.stringForKey(recordKey);
    if (!record)
        return {};
    return {{*record, store.stringForKey(timeKey)}};
}

void PendingWorkEnds::write(SettingsStore& store, const std::vector<PendingWorkEnd>& ends) {
    // The list decides; the pair after it is what an earlier version would send.
    store.setObjectForKey(format(ends), listKey);
    const std::optional<PendingWorkEnd> oldest = ends.empty() ? std::nullopt : std::optional(ends.front());
    const std::optional<std::string> record = store.stringForKey(recordKey);
    if (oldest ? record == oldest->recordId && store.stringForKey(timeKey) == oldest->endTime : !record)
        return;
    // "keepRecordno" marks the pair: removed before the pair changes and written last, so that a process that dies
    // between two writes never leaves one record's id beside another's end time.
    store.removeObjectForKey(recordKey);
    if (!oldest || !oldest->endTime)
        store.removeObjectForKey(timeKey);
    else
        store.setObjectForKey(*oldest->endTime, timeKey);
    if (oldest)
        store.setObjectForKey(oldest->recordId, recordKey);
}

std::string PendingWorkEnds::format(const std::vector<PendingWorkEnd>& ends) {
    std::string text;
    for (const PendingWorkEnd& end : ends) {
        if (!text.empty())
            text += separator;
        if (end.unreadable) {
            text += *end.unreadable;
            continue;
        }
        text += end.recordId;
        if (end.endTime)
            text += ' ' + *end.endTime;
    }
    return text;
}

std::vector<PendingWorkEnd> PendingWorkEnds::parse(const std::string& text) {
    // Record ids and kintone's date-times hold neither blanks nor commas.
    std::vector<PendingWorkEnd> ends;
    std::istringstream entries(text);
    for (std::string entry; std::getline(entries, entry, ',');) {
        entry = trimmed(entry);
        if (entry.empty())
            continue;
        std::istringstream words(entry);
        std::string recordId;
        std::string endTime;
        std::string rest;
        words >> recordId >> endTime >> rest;
        if (!isRecordId(recordId) || !(endTime.empty() || isDateTime(endTime)) || !rest.empty())
            ends.push_back({{}, std::nullopt, entry});
        else
            ends.push_back({recordId, endTime.empty() ? std::nullopt : std::optional(endTime)});
    }
    return ends;
}

} // namespace stampo
