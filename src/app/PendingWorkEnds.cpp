#include "app/PendingWorkEnds.h"

#include "app/SettingsStore.h"

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
    // The list decides; the pair after it is what an earlier version would send. "keepRecordno" marks the pair, so
    // it is written last and removed first.
    store.setObjectForKey(format(ends), listKey);
    if (ends.empty() || !ends.front().endTime) {
        store.removeObjectForKey(recordKey);
        store.removeObjectForKey(timeKey);
        if (!ends.empty())
            store.setObjectForKey(ends.front().recordId, recordKey);
        return;
    }
    store.setObjectForKey(*ends.front().endTime, timeKey);
    store.setObjectForKey(ends.front().recordId, recordKey);
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
