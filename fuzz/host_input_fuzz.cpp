// The host text an operator types, reduced to a host and a port. Whatever is typed, the host
// holds no path, query, fragment or user part, and the port stays a usable port.
#include <cstdint>
#include <string>

#include "ctl/host_input.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    // The "port" member of the command: already checked to lie in 1..65535.
    const int port = 1 + ((data[0] << 8 | data[1]) % 65535);
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    const auto result = ostrel::ctl::normalizeHostInput(text, port);
    const std::string detail = "text=" + text + " host=" + result.host;
    FUZZ_CHECK(result.host.find_first_of("/?#@") == std::string::npos, detail);
    FUZZ_CHECK(result.port >= 1 && result.port <= 65535, detail + " port=" + std::to_string(result.port));
    FUZZ_CHECK(result.host.size() <= text.size(), detail);
    // The port changes only when the text named one.
    if (result.port != port) FUZZ_CHECK(text.find(':') != std::string::npos, detail);
    return 0;
}
