#include "core/host/serial_date.h"

namespace tb {
namespace {

// Days from 0000-03-01 to 1899-12-30 in the proleptic Gregorian calendar.
constexpr std::int64_t ole_epoch = 693899;

}  // namespace

std::int64_t ole_days_of_civil(std::int64_t year, int month, std::int64_t day) {
    // Years start in March, so the leap day ends a year.
    const std::int64_t y = month <= 2 ? year - 1 : year;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - ole_epoch;
}

CivilDate civil_of_ole_days(std::int64_t days) {
    const std::int64_t z = days + ole_epoch;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const auto day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    const auto month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

double serial_of_ole(double ole) {
    return ole >= 1 && ole < 61 ? ole - 1 : ole;
}

double ole_of_serial(double serial) {
    return serial >= 1 && serial < 60 ? serial + 1 : serial;
}

CivilDate civil_of_serial(std::int64_t serial) {
    if (serial == 0) return {1900, 1, 0};
    if (serial == 60) return {1900, 2, 29};
    return civil_of_ole_days(serial < 60 ? serial + 1 : serial);
}

}  // namespace tb
