// Date and time stamps. A moment is a local date and time held as a double count of
// seconds: day serial * 86400 + hour * 3600 + minute * 60 + second + millisecond * 0.001,
// where the day serial of 1 January of year 1 is 365 (1 January 1900 is 693960).
#pragma once

constexpr int STAMP_LENGTH = 17;          // characters of a stamp "%2d-Mmm-%04d %02d:%02d"
constexpr int STAMP_BUFFER_SIZE = 32;     // room for a stamp and its NUL, whatever the year

struct CalendarDate {
    int year;     // 1...; 0 for an invalid moment
    int month;    // 1...12; 0 for an invalid moment
    int day;      // 1...31; 0 for an invalid moment
};

// The current local date and time as a moment, with milliseconds.
double localMoment();
// Day serial of a date * 86400; 0 when year <= 0, month outside 1...12, or day outside 1...31.
double dateSerialSeconds(int year, int month, int day);
// Calendar date of a moment; all 0 for a moment <= 0 (or not finite, or past year 99999).
CalendarDate momentToDate(double moment);
// Writes the stamp of a moment ("%2d-Mmm-%04d %02d:%02d", 17 characters for years
// 1...9999) into text, which holds STAMP_BUFFER_SIZE characters; returns text.
char* formatStamp(double moment, char* text);
