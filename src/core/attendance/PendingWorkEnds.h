#pragma once

#include <optional>
#include <string>
#include <vector>

namespace stampo {

class SettingsStore;

// A work end kintone has not taken yet: the record and its end time (none when an earlier version's file lost it,
// which leaves it for a person to look at). An entry that cannot be read (a file edited by hand) is kept as it stands
// in `unreadable`, and is never sent.
struct PendingWorkEnd {
    std::string recordId;
    std::optional<std::string> endTime;
    std::optional<std::string> unreadable = std::nullopt;

    bool operator==(const PendingWorkEnd&) const = default;
};

// The work ends kept in the settings store until kintone has taken them, oldest first. The whole list is one text
// under "keepWorkEnds" ("12 2024-05-01T09:00:00Z, 15 2024-05-02T09:00:00Z"), written in one go, so a process that
// dies while writing leaves the old list or the new one. The oldest is also kept as the "keepRecordno" and
// "keepOuttime" pair that earlier versions read and send; a file with only that pair is read as its one entry.
class PendingWorkEnds final {
public:
    PendingWorkEnds() = delete;

    // The list in whichever form the file holds it: the text written here, or the list QSettings reads where the
    // text was edited by hand without its quotes.
    static std::vector<PendingWorkEnd> read(const SettingsStore& store);
    static void write(SettingsStore& store, const std::vector<PendingWorkEnd>& ends);

    static std::string format(const std::vector<PendingWorkEnd>& ends);
    static std::vector<PendingWorkEnd> parse(const std::string& text);

    // kintone's record ids are decimal numbers.
    static bool isRecordId(const std::string& text);
};

} // namespace stampo
