#include "shell/placement.h"

#include <algorithm>
#include <limits>

namespace ostrel::shell {
namespace {

std::int64_t overlapArea(const Rect& a, const Rect& b) {
    const std::int64_t left = std::max(a.x, b.x);
    const std::int64_t top = std::max(a.y, b.y);
    const std::int64_t right = std::min<std::int64_t>(std::int64_t{a.x} + a.w, std::int64_t{b.x} + b.w);
    const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{a.y} + a.h, std::int64_t{b.y} + b.h);
    if (right <= left || bottom <= top) return 0;
    return (right - left) * (bottom - top);
}

// Distance between two rectangles along both axes (0 where they overlap on that axis).
std::int64_t gapSquared(const Rect& a, const Rect& b) {
    const auto axisGap = [](std::int64_t a0, std::int64_t a1, std::int64_t b0, std::int64_t b1) -> std::int64_t {
        if (a1 <= b0) return b0 - a1;
        if (b1 <= a0) return a0 - b1;
        return 0;
    };
    const std::int64_t dx = axisGap(a.x, std::int64_t{a.x} + a.w, b.x, std::int64_t{b.x} + b.w);
    const std::int64_t dy = axisGap(a.y, std::int64_t{a.y} + a.h, b.y, std::int64_t{b.y} + b.h);
    return dx * dx + dy * dy;
}

int mulDiv(int value, int numerator, int denominator) {
    if (denominator == 0) return value;
    const std::int64_t product = std::int64_t{value} * numerator;
    const std::int64_t half = denominator / 2;
    const std::int64_t rounded = product >= 0 ? (product + half) / denominator : (product - half) / denominator;
    return static_cast<int>(std::clamp<std::int64_t>(rounded, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

}  // namespace

bool readIntField(const nlohmann::json& object, const char* key, std::int64_t min, std::int64_t max,
                  std::int64_t& out) {
    const auto it = object.find(key);
    if (it == object.end()) return false;
    std::int64_t value = 0;
    if (it->is_number_unsigned()) {
        const auto raw = it->get<std::uint64_t>();
        if (raw > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return false;
        value = static_cast<std::int64_t>(raw);
    } else if (it->is_number_integer()) {
        value = it->get<std::int64_t>();
    } else {
        return false;
    }
    if (value < min || value > max) return false;
    out = value;
    return true;
}

Rect clampToWorkArea(const Rect& work, Rect rect) {
    rect.w = std::min(rect.w, work.w);
    rect.h = std::min(rect.h, work.h);
    rect.x = std::min(rect.x, work.x + work.w - rect.w);
    rect.y = std::min(rect.y, work.y + work.h - rect.h);
    rect.x = std::max(rect.x, work.x);
    rect.y = std::max(rect.y, work.y);
    return rect;
}

std::optional<std::size_t> monitorWithLargestOverlap(const std::vector<Monitor>& monitors, const Rect& rect) {
    std::optional<std::size_t> best;
    std::int64_t bestArea = 0;
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const std::int64_t area = overlapArea(monitors[i].geometry, rect);
        if (area > bestArea) {
            bestArea = area;
            best = i;
        }
    }
    return best;
}

std::optional<std::size_t> nearestMonitor(const std::vector<Monitor>& monitors, const Rect& rect) {
    if (const auto overlapping = monitorWithLargestOverlap(monitors, rect)) return overlapping;
    std::optional<std::size_t> best;
    std::int64_t bestGap = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < monitors.size(); ++i) {
        const std::int64_t gap = gapSquared(monitors[i].geometry, rect);
        if (gap < bestGap) {
            bestGap = gap;
            best = i;
        }
    }
    return best;
}

PlacementLoad parsePlacement(std::string_view text, const std::vector<Monitor>& monitors) {
    PlacementLoad load;
    const nlohmann::json root = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
    if (root.is_discarded() || !root.is_object()) {
        load.reason = kReasonUnreadable;
        return load;
    }
    std::int64_t version = 0;
    if (!readIntField(root, "version", 1, 1, version)) {
        load.reason = kReasonUnknownVersion;
        return load;
    }
    std::int64_t x = 0, y = 0, w = 0, h = 0, dpi = 0;
    if (!readIntField(root, "x", -32768, 32767, x) || !readIntField(root, "y", -32768, 32767, y) ||
        !readIntField(root, "w", 200, 16384, w) || !readIntField(root, "h", 150, 16384, h) ||
        !readIntField(root, "dpi", 48, 960, dpi)) {
        load.reason = kReasonBadField;
        return load;
    }
    Placement placement;
    placement.rect = Rect{static_cast<int>(x), static_cast<int>(y), static_cast<int>(w), static_cast<int>(h)};
    placement.dpi = static_cast<int>(dpi);
    const auto maximized = root.find("maximized");
    placement.maximized = maximized != root.end() && maximized->is_boolean() && maximized->get<bool>();

    const auto monitor = monitorWithLargestOverlap(monitors, placement.rect);
    if (!monitor) {
        load.reason = kReasonNoMonitor;
        return load;
    }
    if (const auto& work = monitors[*monitor].workArea) placement.rect = clampToWorkArea(*work, placement.rect);
    load.placement = placement;
    return load;
}

Rect scaleForDpi(const Rect& rect, int fromDpi, int toDpi) {
    Rect out = rect;
    out.w = mulDiv(rect.w, toDpi, fromDpi);
    out.h = mulDiv(rect.h, toDpi, fromDpi);
    return out;
}

Rect initialRect(const std::optional<Placement>& placement, int defaultWidth, int defaultHeight, int dpi,
                 const Rect& origin, const std::vector<Monitor>& monitors) {
    Rect rect;
    bool refit = false;
    if (placement) {
        rect = placement->rect;
        if (dpi > 0 && dpi != placement->dpi) {
            rect = scaleForDpi(rect, placement->dpi, dpi);
            refit = true;
        }
    } else {
        rect = Rect{origin.x, origin.y, defaultWidth, defaultHeight};
        if (dpi > 0 && dpi != 96) {
            rect = scaleForDpi(rect, 96, dpi);
            refit = true;
        }
    }
    if (refit) {
        if (const auto monitor = nearestMonitor(monitors, rect); monitor && monitors[*monitor].workArea)
            rect = clampToWorkArea(*monitors[*monitor].workArea, rect);
    }
    return rect;
}

std::string placementText(const Placement& placement) {
    nlohmann::json root = nlohmann::json::object();
    root["version"] = 1;
    root["x"] = placement.rect.x;
    root["y"] = placement.rect.y;
    root["w"] = placement.rect.w;
    root["h"] = placement.rect.h;
    root["dpi"] = placement.dpi;
    root["maximized"] = placement.maximized;
    return root.dump(2);
}

}  // namespace ostrel::shell
