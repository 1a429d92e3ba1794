// Discovery offers from anything on the LAN: parsing, merging per system and display names, up to
// the "systems" array of the event.
#include <fuzzer/FuzzedDataProvider.h>

#include <set>

#include "common/utf.h"
#include "fuzz/fuzz_support.h"
#include "net/discovery.h"

using namespace ostrel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Interfaces the offers arrive on: 10.0.0.1/24, 192.168.1.5/16, 127.0.0.1/8, no netmask known.
    constexpr std::uint32_t kInterfaces[][2] = {
        {0x0A000001, 0xFFFFFF00}, {0xC0A80105, 0xFFFF0000}, {0x7F000001, 0xFF000000}, {0x0A000101, 0}};
    FuzzedDataProvider input(data, size);
    std::vector<DiscoveryOffer> accepted;
    std::set<std::string> ids;
    while (input.remaining_bytes() > 0 && accepted.size() < 64) {
        const auto& itf = kInterfaces[input.ConsumeIntegral<std::uint8_t>() % 4];
        const auto receivedMs = input.ConsumeIntegral<std::uint16_t>();
        const std::string datagram = input.ConsumeRandomLengthString(kMaxOfferBytes + 16);
        DiscoveryOffer offer;
        offer.systemName = "untouched";
        if (!parseOffer(datagram.data(), datagram.size(), offer)) {
            FUZZ_CHECK(offer.systemName == "untouched", "a refused offer changed the output: " + datagram);
            continue;
        }
        FUZZ_CHECK(datagram.size() <= kMaxOfferBytes && !offer.systemId.empty() && offer.port >= 1, datagram);
        std::tie(offer.ifAddress, offer.ifNetmask, offer.receivedMs) = std::tuple(itf[0], itf[1], receivedMs);
        ids.insert(offer.systemId);
        accepted.push_back(std::move(offer));
    }

    // One system per id, each with an address and a name; the event's array serialises strictly, so nothing in it
    // can be invalid UTF-8 (an exception ends the run as a finding).
    const std::vector<DiscoveredSystem> systems = mergeOffers(accepted);
    FUZZ_CHECK(systems.size() == ids.size(), "one system per systemId");
    for (const auto& system : systems) {
        const std::string name = displayName(system);
        FUZZ_CHECK(!system.addresses.empty() && !name.empty() && isValidUtf8(name), system.systemId + ": " + name);
    }
    const nlohmann::json array = discoverySystemsJson(systems);
    FUZZ_CHECK(array.size() == systems.size(), "every system is listed");
    (void)array.dump();
    return 0;
}
