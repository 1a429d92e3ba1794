// window.json as a damaged or hand-edited file may hold it, against one of a few monitor layouts:
// used whole or refused with a reason, used only inside a work area, and written back to read back the same.
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

    const Rect& r = load.placement->rect;
    const auto monitor = monitorWithLargestOverlap(monitors, r);
    FUZZ_CHECK(load.placement->dpi >= 48 && load.placement->dpi <= 960 && monitor,
               "used but not on a monitor: " + text);
    if (const auto& work = monitors[*monitor].workArea) {
        FUZZ_CHECK(r.x >= work->x && r.y >= work->y && std::int64_t{r.x} + r.w <= std::int64_t{work->x} + work->w &&
                       std::int64_t{r.y} + r.h <= std::int64_t{work->y} + work->h,
                   "outside its work area: " + text);
    }
    const PlacementLoad again = parsePlacement(placementText(*load.placement), monitors);
    FUZZ_CHECK(again.placement && *again.placement == *load.placement, "written and read back: " + text);
    const Rect scaled = initialRect(load.placement, 1440, 900, data[0] * 4, Rect{0, 0, 0, 0}, monitors);
    FUZZ_CHECK(scaled.w > 0 && scaled.h > 0, "an empty window: " + text);
    return 0;
}
