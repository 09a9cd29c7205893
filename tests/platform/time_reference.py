#!/usr/bin/env python3
"""FILETIME values (a line each) to year month weekday day hour minute second millisecond."""
import datetime
import sys

ORIGIN = datetime.datetime(1601, 1, 1)
TICKS_PER_CYCLE = 146097 * 864000000000  # 400 Gregorian years repeat weekdays exactly
LAST = (datetime.datetime(9999, 12, 31) - ORIGIN) // datetime.timedelta(microseconds=1) * 10

for line in sys.stdin:
    ticks, cycles = int(line), 0
    while ticks > LAST:  # datetime stops at year 9999
        ticks -= TICKS_PER_CYCLE
        cycles += 1
    t = ORIGIN + datetime.timedelta(microseconds=ticks // 10)
    print(t.year + 400 * cycles, t.month, t.isoweekday() % 7, t.day, t.hour, t.minute,
          t.second, t.microsecond // 1000)
