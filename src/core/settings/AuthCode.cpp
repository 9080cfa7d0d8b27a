#include "settings/AuthCode.h"

#include <cstdint>

namespace stampo {

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string base64(std::string_view bytes) {
    const auto byte = [&bytes](std::size_t i) -> std::uint32_t {
        return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0;
    };
    std::string encoded;
    encoded.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::uint32_t group = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
        const std::size_t present = bytes.size() - i; // 1, 2 or 3 and more
        encoded += alphabet[group >> 18 & 0x3F];
        encoded += alphabet[group >> 12 & 0x3F];
        encoded += present > 1 ? alphabet[group >> 6 & 0x3F] : '=';
        encoded += present > 2 ? alphabet[group & 0x3F] : '=';
    }
    return encoded;
}

std::string authCode(const std::string& loginName, const std::string& password) {
    return base64(loginName + ":" + password);
}

std::optional<std::string> checkAuthForm(const std::string& loginName, const std::string& password) {
    if (loginName.empty())
        return "ログイン名を入力して下さい";
    if (password.empty())
        return "ログインパスワードを入力して下さい";
    return std::nullopt;
}

} // namespace stampo
