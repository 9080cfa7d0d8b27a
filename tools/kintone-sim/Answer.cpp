#include "Answer.h"

#include <random>

namespace kintonesim {
namespace {

// kintone's "errors" member naming one parameter.
Json parameterError(const std::string& key, const std::string& message) {
    Json errors = Json::object();
    errors[key]["messages"] = Json::array({message});
    return errors;
}

} // namespace

Answer jsonAnswer(const Json& body, int status) {
    return {status, compact(body), jsonContentType};
}

Answer errorAnswer(int status, const char* code, const std::string& message, const Json& errors) {
    Json body{{"code", code},
              {"id", randomText("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", 20)},
              {"message", message}};
    if (!errors.is_null())
        body["errors"] = errors;
    return jsonAnswer(body, status);
}

Answer invalidAnswer(const std::string& parameter, const std::string& message) {
    return errorAnswer(400, "CB_VA01", invalidInput, parameterError(parameter, message));
}

std::string randomText(std::string_view alphabet, std::size_t length) {
    // One generator per worker thread, so that making up an id needs no lock.
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::string text(length, ' ');
    for (auto& c : text)
        c = alphabet[pick(random)];
    return text;
}

} // namespace kintonesim
