// Discovery offers from anything on the LAN: parsing, merging per system, ordering, the
// duplicate-name marks and the display names, up to the "systems" array of the event.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "common/utf.h"
#include "fuzz/fuzz_support.h"
#include "net/discovery.h"

namespace {

using namespace ostrel;

struct Interface {
    std::uint32_t address;
    std::uint32_t netmask;
};
constexpr Interface kInterfaces[] = {
    {0x0A000001, 0xFFFFFF00},  // 10.0.0.1/24
    {0xC0A80105, 0xFFFF0000},  // 192.168.1.5/16
    {0x7F000001, 0xFF000000},  // 127.0.0.1/8
    {0x0A000101, 0x00000000},  // no netmask known
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<DiscoveryOffer> accepted;
    while (input.remaining_bytes() > 0 && accepted.size() < 64) {
        const auto which = input.ConsumeIntegral<std::uint8_t>();
        const auto receivedMs = input.ConsumeIntegral<std::uint16_t>();
        const std::string datagram = input.ConsumeRandomLengthString(kMaxOfferBytes + 16);
        DiscoveryOffer offer;
        offer.systemName = "untouched";
        const bool valid = parseOffer(datagram.data(), datagram.size(), offer);
        if (!valid) {
            FUZZ_CHECK(offer.systemName == "untouched", "a refused offer changed the output: " + datagram);
            continue;
        }
        FUZZ_CHECK(datagram.size() >= 1 && datagram.size() <= kMaxOfferBytes, datagram);
        FUZZ_CHECK(offer.edp == 1 && !offer.nonce.empty() && !offer.systemId.empty() && !offer.host.empty(), datagram);
        FUZZ_CHECK(offer.port >= 1 && offer.port <= 65535, datagram);
        const Interface& itf = kInterfaces[which % std::size(kInterfaces)];
        offer.ifAddress = itf.address;
        offer.ifNetmask = itf.netmask;
        offer.receivedMs = receivedMs;
        accepted.push_back(std::move(offer));
    }

    const std::vector<DiscoveredSystem> systems = mergeOffers(accepted);
    std::set<std::tuple<std::string, std::string, std::int32_t>> distinctAddresses;
    std::set<std::string> distinctIds;
    for (const auto& offer : accepted) {
        distinctAddresses.emplace(offer.systemId, offer.host, offer.port);
        distinctIds.insert(offer.systemId);
    }
    FUZZ_CHECK(systems.size() == distinctIds.size(), "one system per systemId");

    std::map<std::pair<std::string, std::string>, int> names;
    for (const auto& system : systems) ++names[{system.systemName, system.site}];
    std::size_t addresses = 0;
    for (std::size_t i = 0; i < systems.size(); ++i) {
        const auto& system = systems[i];
        FUZZ_CHECK(!system.addresses.empty(), system.systemId);
        addresses += system.addresses.size();
        std::set<std::pair<std::string, std::int32_t>> seen;
        for (std::size_t a = 0; a < system.addresses.size(); ++a) {
            const auto& address = system.addresses[a];
            FUZZ_CHECK(seen.emplace(address.host, address.port).second, "an address twice: " + address.host);
            if (a > 0) {
                const auto& prev = system.addresses[a - 1];
                FUZZ_CHECK(std::make_tuple(!prev.onLink, !prev.loopback, prev.firstSeenMs) <=
                               std::make_tuple(!address.onLink, !address.loopback, address.firstSeenMs),
                           "addresses out of order: " + system.systemId);
            }
        }
        if (i > 0) {
            const auto& prev = systems[i - 1].addresses.front();
            const auto& first = system.addresses.front();
            FUZZ_CHECK(std::make_tuple(!prev.onLink, prev.firstSeenMs) <= std::make_tuple(!first.onLink, first.firstSeenMs),
                       "systems out of order");
        }
        FUZZ_CHECK(system.duplicateName == (names[{system.systemName, system.site}] > 1), system.systemId);
        const std::string name = displayName(system);
        FUZZ_CHECK(!name.empty() && isValidUtf8(name), "display name: " + name);
    }
    FUZZ_CHECK(addresses == distinctAddresses.size(), "every distinct address exactly once");

    // The event's array serialises strictly: nothing in it can be invalid UTF-8.
    const nlohmann::json array = discoverySystemsJson(systems);
    FUZZ_CHECK(array.size() == systems.size(), "every system is listed");
    try {
        (void)array.dump();
    } catch (const nlohmann::json::exception& e) {
        FUZZ_CHECK(false, e.what());
    }
    return 0;
}
