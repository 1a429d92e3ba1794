// "Last used": relative times in the operator's time zone (CTest runs this with TZ=Europe/Berlin,
// so day boundaries and the summer-time change are those of a real zone).
import assert from "node:assert/strict";
import { test } from "node:test";

import { relativeTime } from "../../ui/js/time.js";

const MIN = 60 * 1000;
const HOUR = 60 * MIN;
const DAY = 24 * HOUR;
const at = (text) => new Date(text).getTime(); // local time, no zone suffix

test("recent times count minutes and hours", () => {
    const now = at("2026-03-10T15:00:00");
    const table = [
        [now, "just now"],
        [now - 59 * 1000, "just now"],
        [now - MIN, "1 minute ago"],
        [now - 59 * MIN, "59 minutes ago"],
        [now - HOUR, "1 hour ago"],
        [now - 2 * HOUR - 59 * MIN, "2 hours ago"],
        [now - 11 * HOUR, "11 hours ago"],
        // Same calendar day but more than twelve hours back is still hours, not "yesterday".
        [at("2026-03-10T00:30:00"), "14 hours ago"],
    ];
    for (const [then, expected] of table) assert.equal(relativeTime(then, now), expected, new Date(then).toString());
});

test("older times follow the calendar", () => {
    const now = at("2026-03-10T08:00:00");
    const table = [
        [at("2026-03-09T23:00:00"), "9 hours ago"], // under twelve hours, even across midnight
        [at("2026-03-09T19:00:00"), "yesterday"],
        [at("2026-03-09T00:00:01"), "yesterday"],
        [at("2026-03-08T23:59:59"), "2 days ago"],
        [at("2026-02-25T09:00:00"), "13 days ago"],
        [at("2026-02-24T09:00:00"), "2 weeks ago"],
        [at("2026-01-10T09:00:00"), "8 weeks ago"],
        [at("2026-01-09T09:00:00"), "1 month ago"],
        [at("2025-03-15T09:00:00"), "11 months ago"],
        [at("2025-03-09T09:00:00"), "1 year ago"],
        [at("2021-03-10T09:00:00"), "4 years ago"],
    ];
    for (const [then, expected] of table) assert.equal(relativeTime(then, now), expected, new Date(then).toString());
});

test("a day that is 23 hours long still counts as one day", () => {
    // The clocks go forward in the night to 29 March 2026 in Berlin.
    assert.equal(relativeTime(at("2026-03-28T12:00:00"), at("2026-03-29T12:00:00")), "yesterday");
    assert.equal(relativeTime(at("2026-03-27T12:00:00"), at("2026-03-29T12:00:00")), "2 days ago");
    assert.equal(at("2026-03-29T12:00:00") - at("2026-03-28T12:00:00"), 23 * HOUR);
});

test("a clock ahead of the page reads as just now; unknown times read as nothing", () => {
    const now = at("2026-03-10T08:00:00");
    assert.equal(relativeTime(now + 5 * MIN, now), "just now");
    assert.equal(relativeTime(now + 3 * DAY, now), "just now");
    assert.equal(relativeTime(0, now), "");
    assert.equal(relativeTime(-5, now), "");
    assert.equal(relativeTime(Number.NaN, now), "");
});
