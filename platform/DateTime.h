#pragma once

#include <cstdint>
#include <string>

#include "platform/Api.h"

// A span between two date-times, in days (the OLE Automation unit).
class VKTBASE_API DateTimeSpan {
public:
    DateTimeSpan() = default;
    explicit DateTimeSpan(double days) : m_span(days) {}
    DateTimeSpan(long days, int hours, int minutes, int seconds);

    double GetTotalDays() const { return m_span; }
    double GetTotalSeconds() const { return m_span * 86400.0; }

private:
    double m_span = 0.0;
};

// Local wall time as an OLE Automation date: days since 1899-12-30 00:00, with a
// validity status. Packed to 12 bytes with 4-byte alignment, because host records
// embed it at 4-byte offsets.
#pragma pack(push, 4)
class VKTBASE_API DateTime {
public:
    enum Status : int32_t { valid = 0, invalid = 1, null = 2 };

    DateTime() = default;  // valid, 1899-12-30 00:00:00
    explicit DateTime(double oleDate) : m_dt(oleDate), m_status(valid) {}
    // Fields out of range (or a date before year 100 or after 9999) give an invalid value.
    DateTime(int year, int month, int day, int hour, int minute, int second);

    static DateTime Invalid();

    bool IsValid() const { return m_status == valid; }
    Status GetStatus() const { return m_status; }
    double GetOleDate() const { return m_dt; }

    // Fields of the value rounded to the nearest whole second.
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    int GetDayOfWeek() const;  // 1 = Sunday, as the framework counts

    // strftime-style format; an invalid value formats as the empty text.
    std::string Format(const char* format = "%Y-%m-%d %H:%M:%S") const;

    DateTime operator+(DateTimeSpan span) const;
    DateTime operator-(DateTimeSpan span) const;
    DateTimeSpan operator-(const DateTime& other) const;
    DateTime& operator+=(DateTimeSpan span) { return *this = *this + span; }
    DateTime& operator-=(DateTimeSpan span) { return *this = *this - span; }

    // Compares the instants (nearest second); both must be valid.
    bool operator==(const DateTime& other) const;
    bool operator<(const DateTime& other) const;
    bool operator!=(const DateTime& other) const { return !(*this == other); }
    bool operator>(const DateTime& other) const { return other < *this; }
    bool operator<=(const DateTime& other) const { return !(other < *this); }
    bool operator>=(const DateTime& other) const { return !(*this < other); }

    // Whole seconds since 1899-12-30 00:00 on a continuous axis (nearest second).
    int64_t ToSeconds() const;
    static DateTime FromSeconds(int64_t seconds);

private:
    struct Fields {
        int year, month, day, hour, minute, second, dayOfWeek;
    };
    Fields Split() const;

    double m_dt = 0.0;
    Status m_status = valid;
};
#pragma pack(pop)

static_assert(sizeof(DateTime) == 12, "date-time is 12 bytes in host records");
