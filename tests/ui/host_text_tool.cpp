// The controller's reading of host texts, for the start page's tests: {"text":…,"port":…} lines in, {"host":…,"port":…} out.
#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "ctl/host_input.h"

int main() {
    for (std::string line; std::getline(std::cin, line);) {
        const auto in = nlohmann::json::parse(line);
        const auto out = ostrel::ctl::normalizeHostInput(in.at("text").get<std::string>(), in.at("port").get<int>());
        std::cout << nlohmann::json{{"host", out.host}, {"port", out.port}}.dump() << '\n';
    }
    return std::cout.flush() ? 0 : 1;
}
