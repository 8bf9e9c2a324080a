// Calendar arithmetic for dates as Excel and Automation count them, in one place.
//
// Automation (OLE) dates count days from 1899-12-30, the time of day as the fraction. Excel's
// serials in its 1900 date system count from 1900-01-00 (serial 0) and include a 29 February
// 1900 that never was (serial 60): from serial 61 (1900-03-01) on they agree with OLE dates,
// before it they are one less. In the 1904 date system serial 0 is 1904-01-01.
#pragma once

#include <cstdint>

namespace tb {

struct CivilDate {
    std::int64_t year = 1900;
    int month = 1;
    int day = 0;
};

// Days between 1899-12-30 and 1904-01-01: what a 1904-system serial lacks against the 1900
// system (for dates after February 1900).
inline constexpr double date1904_offset = 1462.0;
// The last serial Excel shows as a date: 9999-12-31.
inline constexpr std::int64_t last_serial = 2958465;

// Days since 1899-12-30 (the OLE date) of a proleptic Gregorian date; days past the month's end
// run on into the next months.
std::int64_t ole_days_of_civil(std::int64_t year, int month, std::int64_t day);
// The proleptic Gregorian date of a day count since 1899-12-30.
CivilDate civil_of_ole_days(std::int64_t days);

// The 1900-system serial of an OLE date and back: one apart before 1 March 1900.
double serial_of_ole(double ole);
double ole_of_serial(double serial);

// The date a whole 1900-system serial shows: 0 is 1900-01-00, 60 is 1900-02-29.
CivilDate civil_of_serial(std::int64_t serial);

}  // namespace tb
