#include "platform/DateTime.h"

#include <cmath>
#include <ctime>

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Days from 1970-01-01 back to the OLE epoch 1899-12-30.
constexpr int64_t kOleEpochToUnixDays = 25569;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// OLE dates below zero count the day backwards but the time of day forwards:
// -1.25 is 1899-12-29 06:00. Converts to a continuous second count.
int64_t OleToSeconds(double dt) {
    const double dayPart = std::trunc(dt);
    const double timePart = std::fabs(dt - dayPart);
    return static_cast<int64_t>(dayPart) * kSecondsPerDay +
           std::llround(timePart * static_cast<double>(kSecondsPerDay));
}

double SecondsToOle(int64_t seconds) {
    int64_t day = seconds / kSecondsPerDay;
    int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --day;
    }
    const double time = static_cast<double>(rest) / static_cast<double>(kSecondsPerDay);
    return day >= 0 ? static_cast<double>(day) + time : static_cast<double>(day) - time;
}

// The framework's range: 100-01-01 to 9999-12-31 23:59:59.
constexpr double kMinOleDate = -657434.0;
constexpr double kMaxOleDate = 2958465.99999;

}  // namespace

DateTimeSpan::DateTimeSpan(long days, int hours, int minutes, int seconds)
    : m_span(static_cast<double>(days) + hours / 24.0 + minutes / 1440.0 + seconds / 86400.0) {}

DateTime::DateTime(int year, int month, int day, int hour, int minute, int second) {
    if (year < 100 || year > 9999 || month < 1 || month > 12 || day < 1 ||
        day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        second < 0 || second > 59) {
        m_status = invalid;
        return;
    }
    const int64_t days = DaysFromCivil(year, month, day) + kOleEpochToUnixDays;
    m_dt = SecondsToOle(days * kSecondsPerDay + hour * 3600 + minute * 60 + second);
}

DateTime DateTime::Invalid() {
    DateTime dt;
    dt.m_status = invalid;
    return dt;
}

int64_t DateTime::ToSeconds() const {
    return OleToSeconds(m_dt);
}

DateTime DateTime::FromSeconds(int64_t seconds) {
    DateTime dt(SecondsToOle(seconds));
    if (dt.m_dt < kMinOleDate || dt.m_dt > kMaxOleDate) dt.m_status = invalid;
    return dt;
}

DateTime::Fields DateTime::Split() const {
    Fields f{};
    if (!IsValid()) return f;
    const int64_t seconds = ToSeconds();
    int64_t day = seconds / kSecondsPerDay;
    int64_t rest = seconds % kSecondsPerDay;
    if (rest < 0) {
        rest += kSecondsPerDay;
        --day;
    }
    CivilFromDays(day - kOleEpochToUnixDays, f.year, f.month, f.day);
    f.hour = static_cast<int>(rest / 3600);
    f.minute = static_cast<int>(rest / 60 % 60);
    f.second = static_cast<int>(rest % 60);
    // 1899-12-30 was a Saturday (7).
    f.dayOfWeek = static_cast<int>(((day % 7) + 7 + 6) % 7) + 1;
    return f;
}

int DateTime::GetYear() const {
    return Split().year;
}
int DateTime::GetMonth() const {
    return Split().month;
}
int DateTime::GetDay() const {
    return Split().day;
}
int DateTime::GetHour() const {
    return Split().hour;
}
int DateTime::GetMinute() const {
    return Split().minute;
}
int DateTime::GetSecond() const {
    return Split().second;
}
int DateTime::GetDayOfWeek() const {
    return Split().dayOfWeek;
}

std::string DateTime::Format(const char* format) const {
    if (!IsValid()) return {};
    const Fields f = Split();
    std::tm tm{};
    tm.tm_year = f.year - 1900;
    tm.tm_mon = f.month - 1;
    tm.tm_mday = f.day;
    tm.tm_hour = f.hour;
    tm.tm_min = f.minute;
    tm.tm_sec = f.second;
    tm.tm_wday = f.dayOfWeek - 1;
    // %j, %U and %W read the day of the year.
    tm.tm_yday = static_cast<int>(
        DaysFromCivil(f.year, static_cast<unsigned>(f.month), static_cast<unsigned>(f.day)) -
        DaysFromCivil(f.year, 1, 1));
    char buffer[256];
    const size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
    return std::string(buffer, n);
}

DateTime DateTime::operator+(DateTimeSpan span) const {
    if (!IsValid()) return *this;
    return FromSeconds(ToSeconds() + std::llround(span.GetTotalSeconds()));
}

DateTime DateTime::operator-(DateTimeSpan span) const {
    return *this + DateTimeSpan(-span.GetTotalDays());
}

DateTimeSpan DateTime::operator-(const DateTime& other) const {
    return DateTimeSpan(static_cast<double>(ToSeconds() - other.ToSeconds()) / 86400.0);
}

bool DateTime::operator==(const DateTime& other) const {
    return m_status == other.m_status && ToSeconds() == other.ToSeconds();
}

bool DateTime::operator<(const DateTime& other) const {
    return ToSeconds() < other.ToSeconds();
}
