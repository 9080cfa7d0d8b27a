#pragma once

#include "Json.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kintonesim {

struct StoredRecord {
    Json fields; // with "$id"
    int revision = 1;
};

struct App {
    Json properties = Json::object();
    int revision = 1;
    std::map<int, StoredRecord> records;
    int nextRecordId = 1;

    // Stores the fields as a new record under the next id, which it returns; a "$id" among them is replaced.
    int add(const Json& fields);
};

// The records a cursor lists are fixed when it is made; each page shows them as they are when it is read.
struct Cursor {
    int app = 0;
    std::vector<int> ids;
    Json fields;
    std::size_t next = 0;
    std::size_t pageSize = 0;
};

// What the simulated kintone holds: apps numbered from 1, the users, and the cursors open by id.
struct Data {
    std::map<int, App> apps;
    Json users = Json::array();
    std::map<std::string, Cursor> cursors;
};

// The simulator's data behind a lock of its own: set up and looked at by the tests, read and changed by the routes.
class DataModel final {
public:
    // Starts with `data`, laid out as loadData() takes it.
    explicit DataModel(const Json& data);

    // These throw std::invalid_argument on data of the wrong shape; see KintoneSimulator.
    void loadData(const Json& data);
    int addApp(const Json& properties);
    void setFormFields(int app, const Json& properties);
    int addRecord(int app, const Json& record);
    Json record(int app, int id) const;
    std::vector<Json> records(int app) const;
    void setUsers(const Json& users);
    void addUsers(int count);
    int openCursors() const;

    // Runs `use` on the data with the lock held, and returns what it returns.
    template <typename Use> decltype(auto) locked(Use&& use) {
        const std::scoped_lock lock(m_mutex);
        return std::forward<Use>(use)(m_data);
    }

private:
    mutable std::mutex m_mutex;
    Data m_data;
    int m_generatedUsers = 0;
};

} // namespace kintonesim
