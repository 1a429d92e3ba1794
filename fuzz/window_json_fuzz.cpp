// window.json as a damaged or hand-edited file may hold it, against one of a few monitor layouts:
// used whole on a monitor or refused with a reason, and written back to read back the same.
#include "fuzz/fuzz_support.h"
#include "shell/placement.h"

using namespace ostrel::shell;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Monitors that do not overlap, with work areas of a usable size (or none known).
    static const std::vector<std::vector<Monitor>> kLayouts = {
        {{{0, 0, 1920, 1080}, Rect{0, 0, 1920, 1040}}},
        {{{0, 0, 1920, 1080}, Rect{0, 32, 1920, 1048}}, {{1920, -200, 2560, 1440}, Rect{1920, -200, 2560, 1440}}},
        {{{-1280, 0, 1280, 1024}, Rect{-1280, 0, 1280, 1000}}, {{0, 0, 3840, 2160}, std::nullopt}},
        {{{0, 0, 1366, 768}, Rect{60, 0, 1306, 768}}, {{0, 768, 1024, 768}, Rect{0, 768, 1024, 700}}},
        {}};
    if (size < 1) return 0;
    const auto& monitors = kLayouts[data[0] % kLayouts.size()];
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const PlacementLoad load = parsePlacement(text, monitors);
    FUZZ_CHECK(
        load.placement.has_value() == load.reason.empty() && !(load.damaged() && load.reason == kReasonNoMonitor),
        load.reason);
    if (!load.placement) return 0;

    FUZZ_CHECK(monitorWithLargestOverlap(monitors, load.placement->rect), "used but not on a monitor: " + text);
    const PlacementLoad again = parsePlacement(placementText(*load.placement), monitors);
    FUZZ_CHECK(again.placement && *again.placement == *load.placement, "written and read back: " + text);
    return 0;
}
