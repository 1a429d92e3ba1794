// "Last used": relative times in the operator's time zone (CTest runs this with TZ=Europe/Berlin,
// so day boundaries and the summer-time change are those of a real zone).
import assert from "node:assert/strict";
import { test } from "node:test";

import { relativeTime } from "../../ui/js/time.js";

const at = (text) => (typeof text === "string" ? new Date(text).getTime() : text); // local time, no zone suffix

test("relative times: minutes and hours while recent, then the calendar", () => {
    const table = [
        ["2026-03-10T15:00:00", [["2026-03-10T15:00:00", "just now"], ["2026-03-10T14:59:01", "just now"], ["2026-03-10T14:59:00", "1 minute ago"],
            ["2026-03-10T14:01:00", "59 minutes ago"], ["2026-03-10T14:00:00", "1 hour ago"], ["2026-03-10T12:01:00", "2 hours ago"],
            ["2026-03-10T04:00:00", "11 hours ago"], ["2026-03-10T00:30:00", "14 hours ago"]]], // same day, but over twelve hours back
        ["2026-03-10T08:00:00", [["2026-03-09T23:00:00", "9 hours ago"], // under twelve hours, even across midnight
            ["2026-03-09T19:00:00", "yesterday"], ["2026-03-09T00:00:01", "yesterday"], ["2026-03-08T23:59:59", "2 days ago"],
            ["2026-02-25T09:00:00", "13 days ago"], ["2026-02-24T09:00:00", "2 weeks ago"], ["2026-01-10T09:00:00", "8 weeks ago"],
            ["2026-01-09T09:00:00", "1 month ago"], ["2025-03-15T09:00:00", "11 months ago"], ["2025-03-09T09:00:00", "1 year ago"],
            ["2021-03-10T09:00:00", "4 years ago"],
            // A clock ahead of the page reads as just now; unknown times read as nothing.
            ["2026-03-10T08:05:00", "just now"], ["2026-03-13T08:00:00", "just now"], [0, ""], [-5, ""], [Number.NaN, ""]]],
        // The clocks go forward in the night to 29 March 2026 in Berlin: a day of 23 hours is still one day.
        ["2026-03-29T12:00:00", [["2026-03-28T12:00:00", "yesterday"], ["2026-03-27T12:00:00", "2 days ago"]]],
    ];
    for (const [now, rows] of table) {
        for (const [then, expected] of rows) assert.equal(relativeTime(at(then), at(now)), expected, `${then} at ${now}`);
    }
    assert.equal(at("2026-03-29T12:00:00") - at("2026-03-28T12:00:00"), 23 * 3600 * 1000);
});
