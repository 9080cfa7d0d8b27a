// stampo-kintone-sim: the kintone simulator as a process, for the demo and the benchmarks.
#include "KintoneSimulator.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>

namespace {

constexpr const char* usage = "usage: stampo-kintone-sim [--port N] [--data FILE] [--cert-dir DIR] [--users N] "
                              "[--records N]\n";

struct Arguments {
    kintonesim::SimulatorOptions options;
    std::optional<std::filesystem::path> data;
    int users = 0;
    int records = 0;
};

std::optional<int> count(std::string_view text, int max) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < 0 || value > max)
        return std::nullopt;
    return value;
}

std::optional<Arguments> parse(int argc, char** argv) {
    Arguments arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string_view option = argv[i];
        if (i + 1 == argc)
            return std::nullopt;
        const std::string_view value = argv[++i];
        std::optional<int> number;
        if (option == "--port" && (number = count(value, 65535)))
            arguments.options.port = static_cast<std::uint16_t>(*number);
        else if (option == "--data")
            arguments.data = value;
        else if (option == "--cert-dir")
            arguments.options.certificateDirectory = value;
        else if (option == "--users" && (number = count(value, 1000000)))
            arguments.users = *number;
        else if (option == "--records" && (number = count(value, 1000000)))
            arguments.records = *number;
        else
            return std::nullopt;
    }
    arguments.options.sampleData = !arguments.data;
    return arguments;
}

kintonesim::Json readData(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return kintonesim::Json::parse(in);
}

// Made-up entries for the employee app (2), numbered after the records it already has.
void addEmployees(kintonesim::KintoneSimulator& simulator, int count) {
    constexpr int employees = 2;
    const int existing = static_cast<int>(simulator.records(employees).size());
    for (int i = existing + 1; i <= existing + count; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "社員 %06d", i);
        simulator.addRecord(employees,
                            {{"社員番号", {{"value", std::to_string(100000 + i)}}}, {"氏名", {{"value", name}}}});
    }
}

} // namespace

int main(int argc, char** argv) {
    const auto arguments = parse(argc, argv);
    if (!arguments) {
        std::cerr << usage;
        return 2;
    }
    // Blocked before any thread starts, so every thread inherits the mask and only sigwait() receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        kintonesim::KintoneSimulator simulator(arguments->options);
        if (arguments->data)
            simulator.loadData(readData(*arguments->data));
        simulator.addUsers(arguments->users);
        addEmployees(simulator, arguments->records);
        std::cout << "listening " << simulator.connectTo() << " ca=" << simulator.caFile().string() << std::endl;
        int received = 0;
        sigwait(&stopSignals, &received);
    } catch (const std::exception& e) {
        std::cerr << "stampo-kintone-sim: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
