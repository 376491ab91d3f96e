"""Exchange calendar of the sample market: weekdays less the mainland exchange holidays.

The holiday closures below are the published closure ranges of the Shanghai and Shenzhen
exchanges (inclusive, weekends inside a range are weekends anyway).  Only years that the
sample market covers are listed; asking for any other year is an error rather than a silent
weekday-only calendar.
"""

from __future__ import annotations

import datetime as _dt

import numpy as np

__all__ = ["HOLIDAY_CLOSURES", "trading_days", "covered_years"]

#: Exchange closures per year as inclusive (first, last) date ranges.
HOLIDAY_CLOSURES: dict[int, list[tuple[str, str]]] = {
    2018: [
        ("2018-01-01", "2018-01-01"),  # New Year
        ("2018-02-15", "2018-02-21"),  # Spring Festival
        ("2018-04-05", "2018-04-06"),  # Qingming
        ("2018-04-30", "2018-05-01"),  # Labour Day
        ("2018-06-18", "2018-06-18"),  # Dragon Boat
        ("2018-09-24", "2018-09-24"),  # Mid-Autumn
        ("2018-10-01", "2018-10-05"),  # National Day
    ],
    2019: [
        ("2019-01-01", "2019-01-01"),
        ("2019-02-04", "2019-02-08"),
        ("2019-04-05", "2019-04-05"),
        ("2019-05-01", "2019-05-03"),
        ("2019-06-07", "2019-06-07"),
        ("2019-09-13", "2019-09-13"),
        ("2019-10-01", "2019-10-07"),
    ],
    2020: [
        ("2020-01-01", "2020-01-01"),
        ("2020-01-24", "2020-01-31"),  # Spring Festival, extended that year
        ("2020-04-06", "2020-04-06"),
        ("2020-05-01", "2020-05-05"),
        ("2020-06-25", "2020-06-26"),
        ("2020-10-01", "2020-10-08"),  # National Day and Mid-Autumn together
    ],
    2021: [
        ("2021-01-01", "2021-01-01"),
        ("2021-02-11", "2021-02-17"),
        ("2021-04-05", "2021-04-05"),
        ("2021-05-03", "2021-05-05"),
        ("2021-06-14", "2021-06-14"),
        ("2021-09-20", "2021-09-21"),
        ("2021-10-01", "2021-10-07"),
    ],
    2022: [
        ("2022-01-03", "2022-01-03"),
        ("2022-01-31", "2022-02-04"),
        ("2022-04-04", "2022-04-05"),
        ("2022-05-02", "2022-05-04"),
        ("2022-06-03", "2022-06-03"),
        ("2022-09-12", "2022-09-12"),
        ("2022-10-03", "2022-10-07"),
    ],
    2023: [
        ("2023-01-02", "2023-01-02"),
        ("2023-01-23", "2023-01-27"),
        ("2023-04-05", "2023-04-05"),
        ("2023-05-01", "2023-05-03"),
        ("2023-06-22", "2023-06-23"),
        ("2023-09-29", "2023-09-29"),
        ("2023-10-02", "2023-10-06"),
    ],
    2024: [
        ("2024-01-01", "2024-01-01"),
        ("2024-02-09", "2024-02-16"),
        ("2024-04-04", "2024-04-05"),
        ("2024-05-01", "2024-05-03"),
        ("2024-06-10", "2024-06-10"),
        ("2024-09-16", "2024-09-17"),
        ("2024-10-01", "2024-10-07"),
    ],
    2025: [
        ("2025-01-01", "2025-01-01"),
        ("2025-01-28", "2025-02-04"),
        ("2025-04-04", "2025-04-04"),
        ("2025-05-01", "2025-05-05"),
        ("2025-06-02", "2025-06-02"),
        ("2025-10-01", "2025-10-08"),  # National Day and Mid-Autumn together
    ],
}


def covered_years() -> list[int]:
    """Years for which the holiday table is known."""
    return sorted(HOLIDAY_CLOSURES)


def trading_days(start: _dt.date, end: _dt.date) -> np.ndarray:
    """Trading days in ``[start, end]`` as a sorted ``datetime64[D]`` array.

    Raises ``ValueError`` when the range reaches a year without holiday data.
    """
    if start > end:
        raise ValueError(f"start {start} is after end {end}")
    missing = [y for y in range(start.year, end.year + 1) if y not in HOLIDAY_CLOSURES]
    if missing:
        raise ValueError(f"no exchange holiday data for year(s) {missing}")
    days = np.arange(np.datetime64(start, "D"), np.datetime64(end, "D") + np.timedelta64(1, "D"))
    # 1970-01-01 was a Thursday: weekday index 0 = Monday.
    weekday = (days.astype(np.int64) + 3) % 7
    keep = weekday < 5
    for year in range(start.year, end.year + 1):
        for first, last in HOLIDAY_CLOSURES[year]:
            lo, hi = np.datetime64(first, "D"), np.datetime64(last, "D")
            keep &= ~((days >= lo) & (days <= hi))
    return days[keep]
