#include "settings/ProxyCheck.h"

#include "kintone/Connection.h"

namespace stampo {

std::optional<std::string> checkProxyForm(const ProxyFields& fields) {
    if (fields.host.empty() && !fields.port.empty())
        return "アドレスを入力して下さい";
    if (!fields.host.empty() && fields.port.empty())
        return "ポート番号を入力して下さい";
    if (!fields.host.empty() && !Connection::isProxyHost(fields.host))
        return "アドレスはホスト名かIPアドレスで入力して下さい";
    if (!fields.host.empty() && !Connection::isPort(fields.port))
        return "ポート番号は1から65535までの数字で入力して下さい";
    if (fields.user.empty() && !fields.password.empty())
        return "ユーザー名を入力して下さい";
    if (!fields.user.empty() && fields.password.empty())
        return "パスワードを入力して下さい";
    return std::nullopt;
}

} // namespace stampo
