#pragma once
// The main window's saved size and position ("window.json") and the rules that fit it onto the
// monitors attached now. Pure functions over physical pixels, so every rule can be checked alone.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel::shell {

struct Rect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool operator==(const Rect&) const = default;
};

struct Monitor {
    Rect geometry;
    std::optional<Rect> workArea;  // nullopt: unreadable, rectangles are used unclamped
};

struct Placement {
    Rect rect;  // the normal (neither minimised nor maximised) rectangle, physical pixels
    int dpi = 96;
    bool maximized = false;
    bool operator==(const Placement&) const = default;
};

inline constexpr const char* kReasonUnreadable = "unreadable";
inline constexpr const char* kReasonUnknownVersion = "unknown version";
inline constexpr const char* kReasonBadField = "missing or out-of-range field";
inline constexpr const char* kReasonNoMonitor = "its monitor is no longer attached";

struct PlacementLoad {
    std::optional<Placement> placement;
    std::string reason;  // why a file that exists was ignored; empty when it was used
    // The file itself is damaged or of another version: it must not be overwritten unseen.
    bool damaged() const { return !placement && !reason.empty() && reason != kReasonNoMonitor; }
};

// The member exists, is a JSON integer (signed or unsigned) and lies in [min, max].
bool readIntField(const nlohmann::json& object, const char* key, std::int64_t min, std::int64_t max,
                  std::int64_t& out);

// Shrinks the rectangle to the work area, then pulls it inside (left/top edges win).
Rect clampToWorkArea(const Rect& work, Rect rect);

// Index of the monitor sharing the largest area with `rect`; nullopt when it touches none.
std::optional<std::size_t> monitorWithLargestOverlap(const std::vector<Monitor>& monitors, const Rect& rect);
// Index of the monitor nearest to `rect` (largest overlap, else smallest distance); nullopt: none.
std::optional<std::size_t> nearestMonitor(const std::vector<Monitor>& monitors, const Rect& rect);

// The whole read rule for the text of window.json: parsed, checked in order, placed on the
// monitor it overlaps most and fitted into that monitor's work area.
PlacementLoad parsePlacement(std::string_view text, const std::vector<Monitor>& monitors);

// Scales w and h by toDpi / fromDpi, rounding to nearest; x and y stay.
Rect scaleForDpi(const Rect& rect, int fromDpi, int toDpi);

// Where the window opens: a loaded placement moved to `dpi` and fitted to its nearest monitor,
// or the default size scaled from 96 dpi at the position `origin` the platform chose.
Rect initialRect(const std::optional<Placement>& placement, int defaultWidth, int defaultHeight, int dpi,
                 const Rect& origin, const std::vector<Monitor>& monitors);

// The text written to window.json: two-space indentation, keys sorted, no trailing newline.
std::string placementText(const Placement& placement);

}  // namespace ostrel::shell
