// Reads the app's reading of host texts for the start page's tests: each input line is
// {"text":…,"port":…}, each output line {"host":…,"port":…} as the controller would connect.
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "ctl/host_input.h"

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        const auto in = nlohmann::json::parse(line, nullptr, false);
        if (!in.is_object() || !in.contains("text") || !in["text"].is_string() || !in.contains("port") ||
            !in["port"].is_number_integer()) {
            std::cerr << "bad input line\n";
            return 2;
        }
        const auto out = ostrel::ctl::normalizeHostInput(in["text"].get<std::string>(), in["port"].get<int>());
        std::cout << nlohmann::json{{"host", out.host}, {"port", out.port}}.dump() << '\n';
    }
    return std::cout.flush() ? 0 : 1;
}
