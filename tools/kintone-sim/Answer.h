#pragma once

#include "Json.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace kintonesim {

inline constexpr const char* jsonContentType = "application/json; charset=utf-8";

// kintone's messages for a parameter it refuses.
inline constexpr const char* invalidInput = "入力内容が正しくありません。";
inline constexpr const char* required = "必須です。";
inline constexpr const char* notANumber = "数字でなければなりません。";

// What the simulator sends back for a request.
struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = jsonContentType;
};

Answer jsonAnswer(const Json& body, int status = 200);

// `{"NAME":[` + the items + `]` + rest + `}`, written straight from the stored items: a page of thousands of
// records is not copied into a JSON value first.
template <typename Items, typename Dump>
Answer listAnswer(const char* name, const Items& items, Dump dump, std::string_view rest = {}) {
    std::string text = std::string("{\"") + name + "\":[";
    for (const auto& item : items) {
        text += dump(item);
        text += ',';
    }
    if (text.back() == ',')
        text.pop_back();
    text += ']';
    text += rest;
    text += '}';
    return {200, std::move(text), jsonContentType};
}

// kintone's error answer: its code, a made-up id, the message and, when given, the "errors" member.
Answer errorAnswer(int status, const char* code, const std::string& message, const Json& errors = Json());
// The error kintone answers when one parameter is refused.
Answer invalidAnswer(const std::string& parameter, const std::string& message);

// `length` characters picked at random from `alphabet`, for the ids kintone makes up.
std::string randomText(std::string_view alphabet, std::size_t length);

} // namespace kintonesim
