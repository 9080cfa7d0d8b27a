#include "DataModel.h"

#include "SampleData.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace kintonesim {

int App::add(const Json& fields) {
    const int id = nextRecordId++;
    Json stored = Json::object();
    stored["$id"] = Json{{"type", "__ID__"}, {"value", std::to_string(id)}};
    for (const auto& [code, field] : fields.items())
        if (code != "$id")
            stored[code] = field;
    records.emplace(id, StoredRecord{std::move(stored), 1});
    return id;
}

DataModel::DataModel(const Json& data) {
    loadData(data);
}

void DataModel::loadData(const Json& data) {
    const Json apps = data.is_object() ? data.value("apps", Json::object()) : Json();
    const Json users = data.is_object() ? data.value("users", Json::array()) : Json();
    if (!apps.is_object() || !users.is_array())
        throw std::invalid_argument(R"(kintone simulator: data must be {"apps":{...},"users":[...]})");
    std::map<int, App> loaded;
    for (const auto& [key, value] : apps.items()) {
        const auto id = parseCount(Json(key));
        const Json properties = member(value, "properties");
        const Json given = member(value, "records");
        const Json records = given.is_null() ? Json::array() : given;
        if (!id || *id == 0 || !properties.is_object() || !records.is_array() ||
            !std::ranges::all_of(records, [](const Json& record) { return record.is_object(); }))
            throw std::invalid_argument("kintone simulator: app \"" + key +
                                        "\" needs a numeric id, properties and records that are objects");
        App& app = loaded[*id];
        app.properties = properties;
        for (const auto& record : records)
            app.add(record);
    }
    const std::scoped_lock lock(m_mutex);
    m_data.apps = std::move(loaded);
    m_data.users = users;
    m_data.cursors.clear();
}

int DataModel::addApp(const Json& properties) {
    if (!properties.is_object())
        throw std::invalid_argument("kintone simulator: properties must be an object");
    const std::scoped_lock lock(m_mutex);
    const int id = m_data.apps.empty() ? 1 : m_data.apps.rbegin()->first + 1;
    m_data.apps[id].properties = properties;
    return id;
}

void DataModel::setFormFields(int app, const Json& properties) {
    if (!properties.is_object())
        throw std::invalid_argument("kintone simulator: properties must be an object");
    const std::scoped_lock lock(m_mutex);
    const auto [found, created] = m_data.apps.try_emplace(app);
    if (!created)
        ++found->second.revision;
    found->second.properties = properties;
}

int DataModel::addRecord(int app, const Json& record) {
    if (!record.is_object())
        throw std::invalid_argument("kintone simulator: a record must be an object");
    const std::scoped_lock lock(m_mutex);
    const auto found = m_data.apps.find(app);
    if (found == m_data.apps.end())
        throw std::invalid_argument("kintone simulator: no app " + std::to_string(app));
    return found->second.add(record);
}

Json DataModel::record(int app, int id) const {
    const std::scoped_lock lock(m_mutex);
    const auto found = m_data.apps.find(app);
    if (found == m_data.apps.end())
        return nullptr;
    const auto stored = found->second.records.find(id);
    return stored == found->second.records.end() ? Json() : stored->second.fields;
}

std::vector<Json> DataModel::records(int app) const {
    const std::scoped_lock lock(m_mutex);
    std::vector<Json> result;
    if (const auto found = m_data.apps.find(app); found != m_data.apps.end())
        for (const auto& [id, stored] : found->second.records)
            result.push_back(stored.fields);
    return result;
}

void DataModel::setUsers(const Json& users) {
    if (!users.is_array())
        throw std::invalid_argument("kintone simulator: users must be an array");
    const std::scoped_lock lock(m_mutex);
    m_data.users = users;
}

void DataModel::addUsers(int count) {
    const std::scoped_lock lock(m_mutex);
    int lastId = 0;
    for (const auto& user : m_data.users)
        lastId = std::max(lastId, parseCount(member(user, "id")).value_or(0));
    for (int i = 0; i < count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%04d", ++m_generatedUsers);
        m_data.users.push_back(makeUser(++lastId, std::string("user") + number, "ユーザー", number));
    }
}

int DataModel::openCursors() const {
    const std::scoped_lock lock(m_mutex);
    return static_cast<int>(m_data.cursors.size());
}

} // namespace kintonesim
