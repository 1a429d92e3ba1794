#pragma once
// The host text an operator types or picks, reduced to a host and a port.
#include <optional>
#include <string>
#include <string_view>

namespace ostrel::ctl {

struct HostInput {
    std::string host;  // empty: nothing usable
    int port = 8443;
    std::optional<std::string> portText;  // the text after the port colon, when there was one
};

// Strips blanks/tabs, a scheme, a path/query/fragment and a user part; takes a port from
// "name:port" or "[v6]:port" when it lies in 1..65535, otherwise keeps `port`.
HostInput normalizeHostInput(std::string_view text, int port);

}  // namespace ostrel::ctl
