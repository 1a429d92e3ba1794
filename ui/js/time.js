// "Last used" as people say it. Times come from the app's clock (milliseconds since 1970, UTC)
// and are compared with the page's clock, so small differences either way read as "just now".

const MINUTE = 60 * 1000;
const HOUR = 60 * MINUTE;
const DAY = 24 * HOUR;

const plural = (n, unit) => `${n} ${unit}${n === 1 ? "" : "s"} ago`;

// Calendar days between two instants in the local time zone (0 = same day).
function calendarDaysBetween(thenMs, nowMs) {
    const a = new Date(thenMs);
    const b = new Date(nowMs);
    const dayA = Date.UTC(a.getFullYear(), a.getMonth(), a.getDate());
    const dayB = Date.UTC(b.getFullYear(), b.getMonth(), b.getDate());
    return Math.round((dayB - dayA) / DAY);
}

// Returns "" for a time that is not known (0, negative or not a number).
export function relativeTime(thenMs, nowMs) {
    if (!Number.isFinite(thenMs) || thenMs <= 0) return "";
    const age = nowMs - thenMs;
    if (age < MINUTE) return "just now";
    if (age < HOUR) return plural(Math.floor(age / MINUTE), "minute");
    if (age < 12 * HOUR) return plural(Math.floor(age / HOUR), "hour");
    const days = calendarDaysBetween(thenMs, nowMs);
    if (days === 0) return plural(Math.floor(age / HOUR), "hour");
    if (days === 1) return "yesterday";
    if (days < 14) return `${days} days ago`;
    if (days < 60) return plural(Math.floor(days / 7), "week");
    const months = Math.floor(days / 30.44);
    if (months < 12) return plural(months, "month");
    return plural(Math.floor(days / 365.25), "year");
}

// The exact time, for a tooltip next to the relative one.
export function exactTime(thenMs) {
    if (!Number.isFinite(thenMs) || thenMs <= 0) return "";
    return new Date(thenMs).toLocaleString(undefined, { dateStyle: "medium", timeStyle: "short" });
}
