// Runs a fuzz target over every file of the corpus directories (or files) given, without libFuzzer: the corpus,
// crashes found included, as a plain test.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i)
        if (std::filesystem::is_directory(argv[i]))
            inputs.insert(inputs.end(), std::filesystem::directory_iterator(argv[i]), {});
        else
            inputs.emplace_back(argv[i]);
    if (inputs.empty()) {
        std::cerr << "no inputs\n";
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());
    for (const auto& input : inputs) {
        // Names the input before running it: a broken invariant ends the process.
        std::cout << input.filename().string() << std::endl;
        std::ifstream in(input, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), {}};
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
}
