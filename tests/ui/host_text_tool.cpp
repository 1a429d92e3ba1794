// Reads host texts the way the controller does, for the start page's tests: each input line is
// {"text":…,"port":…}, each output line {"host":…,"port":…}. A bad line ends it with an exception.
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
