#include "CommandLine.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace stampo {

namespace {

using namespace std::string_view_literals;

// Qt's options that take a value, as the next argument or after '=', and those that stand alone. Qt reads each with
// one dash or two.
constexpr std::array qtOptionsWithValue = {
    "platform"sv,        "platformpluginpath"sv, "platformtheme"sv, "plugin"sv,
    "qwindowgeometry"sv, "qwindowicon"sv,        "qwindowtitle"sv,  "session"sv,
    "display"sv,         "geometry"sv,           "name"sv,          "style"sv,
    "stylesheet"sv,      "qmljsdebugger"sv,      "visual"sv,        "fontengine"sv,
    "dialogs"sv,
};
constexpr std::array qtFlags = {"reverse"sv, "widgetcount"sv, "nograb"sv, "dograb"sv, "sync"sv, "testability"sv};

constexpr std::string_view usage = "使い方: stampo [オプション]\n"
                                   "\n"
                                   "システムトレイに常駐し、勤務の開始と終了を kintone に記録します。\n"
                                   "勤務開始・勤務終了・Kintone設定は、トレイアイコンのメニューから選びます。\n"
                                   "\n"
                                   "オプション:\n"
                                   "  -h, --help     この説明を表示して終了します\n"
                                   "  -v, --version  バージョンを表示して終了します\n"
                                   "\n"
                                   "Qt の標準オプション (-platform、-display、-session など) も使えます。\n"
                                   "設定は ~/.config/Stampo/Stampo.conf に、認証コードとプロキシのパスワードは\n"
                                   "デスクトップのキーリングに保存されます。詳しくは man stampo をご覧ください。\n";

template <std::size_t N> bool contains(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

CommandLine::Answer refuse(std::string_view what, std::string_view argument) {
    return {2,
            {},
            "stampo: " + std::string(what) + ": " + std::string(argument) +
                "\n使い方は stampo --help で確認できます。\n"};
}

} // namespace

std::optional<CommandLine::Answer> CommandLine::answer(std::span<char* const> arguments) {
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument == "-h" || argument == "--help")
            return Answer{0, std::string(usage), {}};
        if (argument == "-v" || argument == "--version")
            return Answer{0, "stampo " STAMPO_VERSION "\n", {}};
        if (argument.size() < 2 || argument[0] != '-')
            return refuse("引数は受け付けません", argument);
        std::string_view name = argument.substr(argument.starts_with("--") ? 2 : 1);
        const auto equals = name.find('=');
        const bool hasValue = equals != std::string_view::npos;
        name = name.substr(0, equals);
        if (contains(qtOptionsWithValue, name)) {
            if (!hasValue)
                ++i; // its value, which Qt reads
            continue;
        }
        if (!contains(qtFlags, name) || hasValue)
            return refuse("不明なオプションです", argument);
    }
    return std::nullopt;
}

} // namespace stampo
