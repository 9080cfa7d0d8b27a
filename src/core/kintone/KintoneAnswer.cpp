#include "kintone/KintoneAnswer.h"

namespace stampo {

namespace {

// Whether arrays and objects nest deeper than `limit` in a JSON text: brackets are counted outside strings.
bool nestsDeeperThan(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if ((c == '[' || c == '{') && ++depth > limit) {
            return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

} // namespace

std::optional<KintoneAnswer::Json> KintoneAnswer::parse(std::string_view text) {
    if (nestsDeeperThan(text, maxDepth))
        return std::nullopt;
    std::optional<Json> parsed(Json::parse(text.begin(), text.end(), nullptr, false));
    if (parsed->is_discarded())
        return std::nullopt;
    return parsed;
}

} // namespace stampo
