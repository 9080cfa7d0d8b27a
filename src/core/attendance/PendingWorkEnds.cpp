#include "attendance/PendingWorkEnds.h"

#include "SettingsStore.h"

#include <sstream>

namespace stampo {

namespace {

constexpr const char* listKey = "keepWorkEnds";
constexpr const char* recordKey = "keepRecordno";
constexpr const char* timeKey = "keepOuttime";
constexpr const char* separator = ", ";

} // namespace

std::vector<PendingWorkEnd> PendingWorkEnds::read(const SettingsStore& store) {
    if (const auto list = store.stringForKey(listKey))
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
        std::istringstream words(entry);
        std::string recordId;
        std::string endTime;
        if (!(words >> recordId))
            continue;
        PendingWorkEnd end{recordId, std::nullopt};
        if (words >> endTime)
            end.endTime = endTime;
        ends.push_back(end);
    }
    return ends;
}

} // namespace stampo
