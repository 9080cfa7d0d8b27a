#include "settings/SettingsKeys.h"

#include "SettingsStore.h"

namespace stampo::SettingsKeys {

std::string typeKey(std::string_view fieldKey) {
    std::string key{fieldKey};
    key += "Type";
    return key;
}

void seed(SettingsStore& store) {
    const auto seedEach = [&store](const auto& keys) {
        for (const std::string_view name : keys) {
            const std::string key{name};
            if (!store.objectForKey(key))
                store.setObjectForKey(std::string{}, key);
        }
    };
    seedEach(connectionKeys);
    seedEach(proxyKeys);
}

} // namespace stampo::SettingsKeys
