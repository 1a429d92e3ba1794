// The host text an operator types, reduced to a host and a port: the host holds no path, query,
// fragment or user part, and the port stays usable and changes only when the text names one.
#include "ctl/host_input.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int port = 1 + ((data[0] << 8 | data[1]) % 65535);  // the command's "port", checked before
    const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    const auto result = ostrel::ctl::normalizeHostInput(text, port);
    FUZZ_CHECK(result.host.find_first_of("/?#@") == std::string::npos && result.host.size() <= text.size() &&
                   result.port >= 1 && result.port <= 65535 &&
                   (result.port == port || text.find(':') != std::string::npos),
               "text=" + text + " host=" + result.host + " port=" + std::to_string(result.port));
    return 0;
}
