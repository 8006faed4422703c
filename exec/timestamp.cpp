// Date and time stamps: the local clock as a moment (seconds on a day count of the
// proleptic Gregorian calendar), the calendar date of a moment, and the stamp that
// closes the run listing.
#include "exec/timestamp.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

constexpr double SECONDS_PER_DAY = 86400.0;
// Moments are rounded to the nearest second (and so carry into the next minute) before
// they are split into calendar fields.
constexpr double ROUNDING = 0.49;

constexpr int SERIAL_1900 = 693960;   // day serial of 1 January 1900
constexpr int SERIAL_1990 = 726832;   // day serial of 1 January 1990
constexpr int DAYS_PER_400_YEARS = 146097;
constexpr int YEAR_MAX = 99999;       // later moments have no date

// Days before each month in a common year.
constexpr int DAYS_BEFORE_MONTH[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
constexpr int MONTH_LENGTHS[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
// Day serial of 1 January of the century years 0, 100, ..., 2000.
constexpr int CENTURY_SERIALS[21] = {
    0,      36524,  73048,  109572, 146096, 182621, 219145, 255669, 292193, 328718, 365242,
    401766, 438290, 474815, 511339, 547863, 584387, 620912, 657436, 693960, 730484,
};
const char* const MONTH_NAMES[12] = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December",
};

bool isLeapYear(long year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

long daySerial(long year, int month, int day)
{
    long serial = 365 * year + (year - 1) / 4 - (year - 1) / 100 + (year - 1) / 400 +
                  DAYS_BEFORE_MONTH[month - 1] + day - 1;
    if (isLeapYear(year) && month >= 3) serial += 1;
    return serial;
}

}  // namespace

double localMoment()
{
    using namespace std::chrono;
    system_clock::time_point now = system_clock::now();
    std::time_t seconds = system_clock::to_time_t(now);
    // to_time_t may round; take the milliseconds from the whole-second point it names.
    long milliseconds = static_cast<long>(
        duration_cast<std::chrono::milliseconds>(now - system_clock::from_time_t(seconds)).count());
    if (milliseconds < 0) {
        seconds -= 1;
        milliseconds += 1000;
    }
    std::tm local{};
    if (!localtime_r(&seconds, &local)) return 0.0;
    return dateSerialSeconds(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
           local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + milliseconds * 0.001;
}

double dateSerialSeconds(int year, int month, int day)
{
    if (year <= 0 || month < 1 || month > 12 || day <= 0 || day >= 32) return 0.0;
    return static_cast<double>(daySerial(year, month, day)) * SECONDS_PER_DAY;
}

// The year search starts from the nearest known year (1990, 1900, or a century year of
// the table) and walks year by year; beyond 2000 it first strides whole 400-year cycles
// (146097 days each), so that a distant moment costs no more than a near one.
CalendarDate momentToDate(double moment)
{
    CalendarDate date = {0, 0, 0};
    if (!(moment > 0.0) || !std::isfinite(moment)) return date;
    double days = std::trunc((moment + ROUNDING) / SECONDS_PER_DAY);
    if (days >= static_cast<double>(daySerial(YEAR_MAX + 1, 1, 1))) return date;
    long n = static_cast<long>(days);

    long year;
    if (n >= SERIAL_1990) {
        year = 1990;
        n -= SERIAL_1990;
    } else if (n >= SERIAL_1900) {
        year = 1900;
        n -= SERIAL_1900;
    } else {
        int century = 20;
        while (century > 0 && CENTURY_SERIALS[century] > n) century--;
        year = 100L * century;
        n -= CENTURY_SERIALS[century];
    }
    long daysTo2000 = daySerial(2000, 1, 1) - SERIAL_1990;
    if (year == 1990 && n >= daysTo2000) {
        // Stride from 2000: 400-year cycles repeat only from a multiple of 400.
        n -= daysTo2000;
        long cycles = n / DAYS_PER_400_YEARS;
        year = 2000 + 400 * cycles;
        n -= cycles * DAYS_PER_400_YEARS;
    }
    // Year 0 counts 365 days, as the day serial formula has it (1 January of year 1 is
    // day 365), although the leap rule alone would give it 366.
    for (;;) {
        int length = year > 0 && isLeapYear(year) ? 366 : 365;
        if (n < length) break;
        n -= length;
        year++;
    }
    int month = 0;
    for (; month < 11; month++) {
        int length = MONTH_LENGTHS[month] + (month == 1 && isLeapYear(year) ? 1 : 0);
        if (n < length) break;
        n -= length;
    }
    date.year = static_cast<int>(year);
    date.month = month + 1;
    date.day = static_cast<int>(n) + 1;
    return date;
}

char* formatStamp(double moment, char* text)
{
    CalendarDate date = momentToDate(moment);
    double s = moment + ROUNDING;
    int hour = 0;
    int minute = 0;
    if (std::isfinite(s)) {
        hour = static_cast<int>(std::floor(std::fmod(s / 3600.0, 24.0)));
        minute = static_cast<int>(std::floor(std::fmod(s / 60.0, 60.0)));
    }
    std::snprintf(text, STAMP_BUFFER_SIZE, "%2d-mmm-%04d %02d:%02d", date.day, date.year, hour,
                  minute);
    // Without a date (moment <= 0) the month letters stay "mmm".
    if (date.month >= 1 && date.month <= 12) {
        const char* name = MONTH_NAMES[date.month - 1];
        for (int i = 0; i < 3; i++) text[3 + i] = name[i];
    }
    return text;
}
