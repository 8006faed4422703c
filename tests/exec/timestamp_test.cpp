// Moments, calendar dates and the listing's date stamp.
#include "exec/timestamp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

constexpr double DAY = 86400.0;

struct DateCase {
    int year;
    int month;
    int day;
    long serial;
};

// Day serials from Python's datetime: date(y, m, d).toordinal() + 364 (the ordinal of
// 1 January of year 1 is 1, its serial here 365).
const DateCase DATES[] = {
    {1, 1, 1, 365},
    {100, 1, 1, 36524},
    {1600, 2, 29, 584446},
    {1752, 9, 14, 640161},
    {1899, 12, 31, 693959},
    {1900, 1, 1, 693960},
    {1900, 3, 1, 694019},
    {1989, 12, 31, 726831},
    {1990, 1, 1, 726832},
    {2000, 2, 29, 730543},
    {2000, 3, 1, 730544},
    {2026, 12, 6, 740320},
    {2100, 3, 1, 767068},
    {2400, 12, 31, 876946},
    {9999, 12, 31, 3652423},
};

TEST(Timestamp, DateSerialMatchesReference)
{
    for (const DateCase& c : DATES)
        EXPECT_EQ(dateSerialSeconds(c.year, c.month, c.day), c.serial * DAY)
            << c.year << "-" << c.month << "-" << c.day;
}

TEST(Timestamp, DateSerialCountsLeapDaysOnlyInLeapYears)
{
    // 2000 is a leap year (divisible by 400), 1900 is not (divisible by 100).
    EXPECT_EQ(dateSerialSeconds(2000, 3, 1) - dateSerialSeconds(2000, 2, 28), 2 * DAY);
    EXPECT_EQ(dateSerialSeconds(1900, 3, 1) - dateSerialSeconds(1900, 2, 28), DAY);
    EXPECT_EQ(dateSerialSeconds(2024, 3, 1) - dateSerialSeconds(2024, 2, 28), 2 * DAY);
}

TEST(Timestamp, DateSerialRejectsInvalidFields)
{
    const int rows[][3] = {
        {0, 1, 1}, {-5, 1, 1}, {2000, 0, 1}, {2000, 13, 1}, {2000, 1, 0}, {2000, 1, 32},
    };
    for (const auto& r : rows)
        EXPECT_EQ(dateSerialSeconds(r[0], r[1], r[2]), 0.0) << r[0] << "-" << r[1] << "-" << r[2];
    EXPECT_NE(dateSerialSeconds(2000, 1, 31), 0.0);
}

TEST(Timestamp, MomentToDateMatchesReference)
{
    for (const DateCase& c : DATES) {
        for (double second : {0.0, 43200.0, 86399.0}) {
            CalendarDate date = momentToDate(c.serial * DAY + second);
            EXPECT_EQ(date.year, c.year) << c.serial << " + " << second;
            EXPECT_EQ(date.month, c.month) << c.serial << " + " << second;
            EXPECT_EQ(date.day, c.day) << c.serial << " + " << second;
        }
    }
}

TEST(Timestamp, MomentToDateInvertsDateSerialDayByDay)
{
    // Every day across the search's starting points (the century table, 1900, 1990,
    // 2000 and the 400-year strides beyond it).
    const int spans[][2] = {{1099, 1101}, {1895, 1905}, {1985, 2005}, {2396, 2404}, {2799, 2801}};
    for (const auto& span : spans) {
        long first = static_cast<long>(dateSerialSeconds(span[0], 1, 1) / DAY);
        long last = static_cast<long>(dateSerialSeconds(span[1], 12, 31) / DAY);
        for (long n = first; n <= last; n++) {
            CalendarDate date = momentToDate(n * DAY + 3600.0);
            ASSERT_EQ(dateSerialSeconds(date.year, date.month, date.day), n * DAY) << "serial " << n;
        }
    }
}

TEST(Timestamp, MomentToDateRoundsToTheNearestSecond)
{
    double midnight = dateSerialSeconds(2026, 12, 7);
    EXPECT_EQ(momentToDate(midnight - 0.4).day, 7);   // 23:59:59.6 counts as midnight
    EXPECT_EQ(momentToDate(midnight - 0.5).day, 6);
    EXPECT_EQ(momentToDate(midnight - 0.6).day, 6);
}

TEST(Timestamp, MomentWithoutADateGivesZeros)
{
    for (double moment : {0.0, -1.0, -1e9, double(NAN), HUGE_VAL, 1e300}) {
        CalendarDate date = momentToDate(moment);
        EXPECT_EQ(date.year, 0) << moment;
        EXPECT_EQ(date.month, 0) << moment;
        EXPECT_EQ(date.day, 0) << moment;
    }
}

double momentAt(int year, int month, int day, int hour, int minute, double second)
{
    return dateSerialSeconds(year, month, day) + hour * 3600.0 + minute * 60.0 + second;
}

TEST(Timestamp, FormatStampFixedMoments)
{
    struct Row {
        double moment;
        const char* want;
    };
    const Row rows[] = {
        {momentAt(2026, 12, 6, 9, 5, 59.6), " 6-Dec-2026 09:06"},   // rounding carries the minute
        {momentAt(2026, 12, 6, 9, 5, 59.4), " 6-Dec-2026 09:05"},
        {momentAt(2026, 12, 31, 23, 59, 59.6), " 1-Jan-2027 00:00"},   // and the day and year
        {momentAt(1999, 2, 28, 18, 30, 0.0), "28-Feb-1999 18:30"},
        {momentAt(2000, 2, 29, 0, 0, 0.0), "29-Feb-2000 00:00"},
        {momentAt(1900, 1, 1, 12, 0, 0.0), " 1-Jan-1900 12:00"},
        {momentAt(1990, 9, 15, 7, 45, 30.0), "15-Sep-1990 07:45"},
        {momentAt(2100, 11, 30, 23, 59, 0.0), "30-Nov-2100 23:59"},
        {momentAt(45, 5, 4, 1, 2, 3.0), " 4-May-0045 01:02"},
    };
    for (const Row& r : rows) {
        char text[STAMP_BUFFER_SIZE];
        EXPECT_EQ(formatStamp(r.moment, text), text);
        EXPECT_STREQ(text, r.want);
        EXPECT_EQ(std::string(text).size(), static_cast<size_t>(STAMP_LENGTH));
    }
}

TEST(Timestamp, FormatStampWithoutADateStaysInItsBuffer)
{
    char text[STAMP_BUFFER_SIZE];
    formatStamp(0.0, text);
    EXPECT_STREQ(text, " 0-mmm-0000 00:00");
    formatStamp(NAN, text);
    EXPECT_STREQ(text, " 0-mmm-0000 00:00");
    formatStamp(momentAt(99999, 12, 31, 1, 0, 0.0), text);
    EXPECT_STREQ(text, "31-Dec-99999 01:00");
}

TEST(Timestamp, LocalMomentIsTodaysLocalTime)
{
    double moment = localMoment();
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ASSERT_NE(localtime_r(&now, &local), nullptr);
    double expected = momentAt(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                               local.tm_hour, local.tm_min, local.tm_sec);
    EXPECT_NEAR(moment, expected, 1.5);
    // Whole milliseconds.
    double milliseconds = moment * 1000.0;
    EXPECT_NEAR(milliseconds, std::round(milliseconds), 0.01);
    EXPECT_GE(localMoment(), moment);
}

// The local moment under fixed zones, whatever the machine's own: zones east and west
// of Greenwich by uneven amounts, so that a moment taken in UTC, or with the offset's
// sign turned, shows. The machine's zone is restored afterwards.
TEST(Timestamp, LocalMomentFollowsTheTimeZone)
{
    struct Zone {
        const char* tz;         // POSIX TZ value, no zone files needed
        double offset;          // seconds east of Greenwich
    };
    const Zone zones[] = {
        {"UTC0", 0.0},
        {"<+1345>-13:45", 13.75 * 3600.0},
        {"<-0930>9:30", -9.5 * 3600.0},
    };
    const char* machine = std::getenv("TZ");
    const std::string machineZone = machine ? machine : "";
    for (const Zone& zone : zones) {
        setenv("TZ", zone.tz, 1);
        tzset();
        const double utc = dateSerialSeconds(1970, 1, 1) + static_cast<double>(std::time(nullptr));
        EXPECT_NEAR(localMoment() - utc, zone.offset, 1.5) << zone.tz;
    }
    if (machine)
        setenv("TZ", machineZone.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace
