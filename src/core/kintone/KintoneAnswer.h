#pragma once

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace stampo {

// What kintone's answers are read as, apart from the client: their JSON, why a request failed, and how a read that
// fails ends. The page readers need these, not the client that drives them.
struct KintoneAnswer final {
    using Json = nlohmann::ordered_json;
    using Success = std::function<void(const Json& result)>;
    // Why a request failed, for callers that treat "kintone refused it" unlike every other failure: only a refusal
    // shows that kintone itself has seen the request and will not take it.
    enum class FailureCause {
        NotSent,     // refused before sending: bad input, or no thread could be started
        NoAnswer,    // the transport failed: no whole answer arrived
        Unavailable, // answered by a status saying the request was not taken now: too many requests (429), or a
                     // server's or gateway's failure (5xx)
        Unexpected,  // answered, but not as kintone answers: not JSON, not the form asked for, or an error status
                     // without kintone's error object (a proxy's or a captive portal's page)
        Refused,     // kintone's own error object ("code" and "message") with a 4xx status
    };
    // Ends a read on its first failure, with the text to show.
    using Reject = std::function<void(const std::string& message, FailureCause cause)>;

    // An answer body as JSON; none when it is not JSON or nests deeper than maxDepth. Copying, comparing and printing
    // a JSON value recurse once per level, so a deeper answer would overflow the stack of whichever part of the
    // application used it.
    static std::optional<Json> parse(std::string_view text);
    // kintone's deepest answers (subtable rows, lookup mappings) nest about ten levels.
    static constexpr int maxDepth = 64;
};

// The member `key` of `object`, whatever it holds, or null when `object` is no object or has no such member; const as
// `object` is.
template <typename Object> Object* member(Object& object, const std::string& key) {
    if (!object.is_object())
        return nullptr;
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

} // namespace stampo
