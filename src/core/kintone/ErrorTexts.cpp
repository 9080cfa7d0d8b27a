#include "kintone/ErrorTexts.h"

#include <curl/curl.h>

namespace stampo::ErrorTexts {

namespace {

std::string withCode(const char* text, int code) {
    return std::string(text) + " (" + std::to_string(code) + ")";
}

bool isTlsFailure(int code) {
    switch (code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
        return true;
    default:
        return false;
    }
}

} // namespace

std::string transport(const HttpResponse& response) {
    const int code = response.curlCode;
    if (response.tooLarge)
        return withCode("kintoneからの応答が大きすぎます", code);
    if (response.viaProxy) {
        // Some proxies (tinyproxy among them) answer wrong credentials with 401 rather than 407.
        if (response.proxyStatus == 407 || response.proxyStatus == 401)
            return withCode("プロキシサーバーの認証に失敗しました", code);
        if (response.proxyStatus != 0 && (response.proxyStatus < 200 || response.proxyStatus > 299))
            return withCode("プロキシサーバーに接続を拒否されました", code);
        if (code == CURLE_COULDNT_RESOLVE_PROXY || code == CURLE_PROXY ||
            (code == CURLE_COULDNT_CONNECT && response.proxyStatus == 0))
            return withCode("プロキシサーバーに接続できませんでした", code);
    }
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return withCode("サーバーが見つかりませんでした", code);
    case CURLE_COULDNT_CONNECT:
        return withCode("サーバーに接続できませんでした", code);
    case CURLE_OPERATION_TIMEDOUT:
        return withCode("サーバーからの応答がタイムアウトしました", code);
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
        return withCode("サーバーとの通信が途中で切断されました", code);
    case CURLE_FAILED_INIT:
    case CURLE_OUT_OF_MEMORY:
        return withCode("通信を開始できませんでした", code);
    default:
        break;
    }
    if (isTlsFailure(code))
        return withCode("サーバーとの安全な接続を確立できませんでした", code);
    return withCode("通信エラーが発生しました", code);
}

std::string unreadableAnswer(long status) {
    return "kintoneからの応答を読み取れませんでした (HTTP " + std::to_string(status) + ")";
}

std::string httpStatus(long status) {
    return "kintoneがエラーを返しました (HTTP " + std::to_string(status) + ")";
}

std::string unexpectedAnswer() {
    return "kintoneからの応答の形式が正しくありません";
}

std::string invalidSubdomain() {
    return "サブドメインが正しくありません";
}

std::string invalidRegion() {
    return "kintoneのドメインが正しくありません";
}

std::string invalidAuthCode() {
    return "認証コードに使用できない文字が含まれています";
}

std::string invalidAppId() {
    return "アプリIDに使用できない文字が含まれています";
}

std::string invalidProxyHost() {
    return "プロキシサーバーのアドレスが正しくありません";
}

std::string invalidProxyPort() {
    return "プロキシサーバーのポート番号が正しくありません";
}

std::string unserialisableBody() {
    return "送信するデータを作成できませんでした";
}

std::string cannotStart() {
    return "通信を開始できませんでした";
}

} // namespace stampo::ErrorTexts
