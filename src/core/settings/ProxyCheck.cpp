#include "settings/ProxyCheck.h"

namespace stampo {

std::optional<std::string> checkProxyForm(const ProxyFields& fields) {
    if (fields.host.empty() && !fields.port.empty())
        return "アドレスを入力して下さい";
    if (!fields.host.empty() && fields.port.empty())
        return "ポート番号を入力して下さい";
    if (fields.user.empty() && !fields.password.empty())
        return "ユーザー名を入力して下さい";
    if (!fields.user.empty() && fields.password.empty())
        return "パスワードを入力して下さい";
    return std::nullopt;
}

} // namespace stampo
