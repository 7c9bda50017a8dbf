#include <gtest/gtest.h>

#include <string>

#include "platform/DateTime.h"

namespace {

constexpr double kOneSecond = 1.0 / 86400.0;

// The instant `seconds` (may be fractional) after the given wall time.
DateTime After(const DateTime& base, double seconds) {
    return DateTime(base.GetOleDate() + seconds * kOneSecond);
}

void ExpectFields(const DateTime& dt, int year, int month, int day, int hour, int minute,
                  int second) {
    ASSERT_TRUE(dt.IsValid());
    EXPECT_EQ(dt.GetYear(), year);
    EXPECT_EQ(dt.GetMonth(), month);
    EXPECT_EQ(dt.GetDay(), day);
    EXPECT_EQ(dt.GetHour(), hour);
    EXPECT_EQ(dt.GetMinute(), minute);
    EXPECT_EQ(dt.GetSecond(), second);
}

const DateTimeSpan kOneDay(1, 0, 0, 0);
const DateTimeSpan kOneHour(0, 1, 0, 0);
const DateTimeSpan kOneMinute(0, 0, 1, 0);
const DateTimeSpan kTenMinutes(0, 0, 10, 0);

}  // namespace

// --- OLE day count -----------------------------------------------------------------

TEST(DateTimeOleDate, KnownInstantsMatchTheirDayCount) {
    EXPECT_DOUBLE_EQ(DateTime(2009, 3, 12, 15, 0, 0).GetOleDate(), 39884.625);
    EXPECT_DOUBLE_EQ(DateTime(1899, 12, 30, 0, 0, 0).GetOleDate(), 0.0);
    EXPECT_DOUBLE_EQ(DateTime(1899, 12, 31, 0, 0, 0).GetOleDate(), 1.0);
    EXPECT_DOUBLE_EQ(DateTime(1900, 1, 1, 0, 0, 0).GetOleDate(), 2.0);
    EXPECT_DOUBLE_EQ(DateTime(1900, 1, 1, 18, 0, 0).GetOleDate(), 2.75);
}

TEST(DateTimeOleDate, DayCountReadsBackAsItsFields) {
    ExpectFields(DateTime(39884.625), 2009, 3, 12, 15, 0, 0);
    ExpectFields(DateTime(0.0), 1899, 12, 30, 0, 0, 0);
    ExpectFields(DateTime(2.0), 1900, 1, 1, 0, 0, 0);
    ExpectFields(DateTime(2.5), 1900, 1, 1, 12, 0, 0);
}

TEST(DateTimeOleDate, DefaultValueIsTheValidEpoch) {
    const DateTime dt;
    EXPECT_TRUE(dt.IsValid());
    EXPECT_EQ(dt.GetStatus(), DateTime::valid);
    EXPECT_DOUBLE_EQ(dt.GetOleDate(), 0.0);
    ExpectFields(dt, 1899, 12, 30, 0, 0, 0);
}

// Before the epoch the day counts backwards while the time of day still counts
// forwards: -1.25 is 1899-12-29 06:00, not 1899-12-28 18:00.
TEST(DateTimeOleDate, DatesBeforeTheEpochCountTheTimeOfDayForwards) {
    EXPECT_DOUBLE_EQ(DateTime(1899, 12, 29, 6, 0, 0).GetOleDate(), -1.25);
    ExpectFields(DateTime(-1.25), 1899, 12, 29, 6, 0, 0);
    EXPECT_DOUBLE_EQ(DateTime(1899, 12, 29, 0, 0, 0).GetOleDate(), -1.0);
    EXPECT_DOUBLE_EQ(DateTime(1899, 12, 28, 18, 0, 0).GetOleDate(), -2.75);

    // Arithmetic and ordering across the epoch stay continuous.
    const DateTime epoch(1899, 12, 30, 0, 0, 0);
    ExpectFields(epoch - kOneHour, 1899, 12, 29, 23, 0, 0);
    EXPECT_LT(epoch - kOneHour, epoch);
    EXPECT_LT(DateTime(1899, 12, 29, 6, 0, 0), DateTime(1899, 12, 29, 18, 0, 0));
    EXPECT_DOUBLE_EQ((epoch - DateTime(1899, 12, 29, 6, 0, 0)).GetTotalSeconds(), 18 * 3600.0);
}

// Every date from 1899 to 2101 survives fields -> day count -> fields, and
// consecutive days are exactly one apart.
TEST(DateTimeFields, EveryDateRoundTripsThroughItsDayCount) {
    DateTime day(1899, 1, 1, 0, 0, 0);
    double previous = day.GetOleDate() - 1.0;
    int checked = 0;
    for (int year = 1899; year <= 2101; ++year) {
        for (int month = 1; month <= 12; ++month) {
            for (int d = 1; d <= 31; ++d) {
                const DateTime dt(year, month, d, 0, 0, 0);
                if (!dt.IsValid()) continue;
                ASSERT_DOUBLE_EQ(dt.GetOleDate(), previous + 1.0)
                    << year << "-" << month << "-" << d;
                previous = dt.GetOleDate();
                const DateTime back(dt.GetOleDate());
                ASSERT_EQ(back.GetYear(), year);
                ASSERT_EQ(back.GetMonth(), month);
                ASSERT_EQ(back.GetDay(), d);
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 203 * 365 + 49);  // 49 of the 203 years are leap years
}

TEST(DateTimeFields, EveryTimeOfDayRoundTrips) {
    for (int hour = 0; hour < 24; ++hour) {
        for (int minute = 0; minute < 60; ++minute) {
            for (int second = 0; second < 60; second += 7) {
                const DateTime dt(2009, 3, 12, hour, minute, second);
                const DateTime back(dt.GetOleDate());
                ASSERT_EQ(back.GetHour(), hour);
                ASSERT_EQ(back.GetMinute(), minute);
                ASSERT_EQ(back.GetSecond(), second);
                ASSERT_EQ(back.GetDay(), 12);
            }
        }
    }
    ExpectFields(DateTime(2009, 3, 12, 23, 59, 59), 2009, 3, 12, 23, 59, 59);
}

TEST(DateTimeFields, RangeEndsAreValid) {
    ExpectFields(DateTime(100, 1, 1, 0, 0, 0), 100, 1, 1, 0, 0, 0);
    ExpectFields(DateTime(9999, 12, 31, 23, 59, 59), 9999, 12, 31, 23, 59, 59);
}

TEST(DateTimeFields, SecondsAxisRoundTrips) {
    for (const DateTime& dt :
         {DateTime(2009, 3, 12, 15, 0, 0), DateTime(1899, 12, 29, 6, 0, 1),
          DateTime(1899, 12, 30, 0, 0, 0), DateTime(2008, 2, 29, 23, 59, 59)}) {
        const DateTime back = DateTime::FromSeconds(dt.ToSeconds());
        EXPECT_TRUE(back.IsValid());
        EXPECT_DOUBLE_EQ(back.GetOleDate(), dt.GetOleDate()) << dt.Format();
    }
    EXPECT_EQ(DateTime(1899, 12, 30, 0, 0, 1).ToSeconds(), 1);
    EXPECT_EQ(DateTime(1899, 12, 29, 23, 59, 59).ToSeconds(), -1);
}

// --- Validity ----------------------------------------------------------------------

TEST(DateTimeValidity, OutOfRangeFieldsGiveAnInvalidValue) {
    EXPECT_EQ(DateTime(2009, 13, 1, 0, 0, 0).GetStatus(), DateTime::invalid);
    EXPECT_FALSE(DateTime(2009, 0, 1, 0, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 2, 30, 0, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 4, 31, 0, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 3, 0, 0, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 3, 32, 0, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 3, 12, 24, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 3, 12, -1, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 3, 12, 15, 60, 0).IsValid());
    EXPECT_FALSE(DateTime(2009, 3, 12, 15, 0, 60).IsValid());
    EXPECT_FALSE(DateTime(99, 12, 31, 23, 59, 59).IsValid());
    EXPECT_FALSE(DateTime(10000, 1, 1, 0, 0, 0).IsValid());
}

TEST(DateTimeValidity, February29OnlyInLeapYears) {
    EXPECT_TRUE(DateTime(2008, 2, 29, 0, 0, 0).IsValid());
    EXPECT_TRUE(DateTime(2000, 2, 29, 0, 0, 0).IsValid());  // divisible by 400
    EXPECT_FALSE(DateTime(2009, 2, 29, 0, 0, 0).IsValid());
    EXPECT_FALSE(DateTime(1900, 2, 29, 0, 0, 0).IsValid());  // divisible by 100 only
    EXPECT_FALSE(DateTime(2100, 2, 29, 0, 0, 0).IsValid());
}

TEST(DateTimeValidity, InvalidValueFormatsAsEmptyTextAndStaysInvalid) {
    const DateTime bad(2009, 13, 1, 0, 0, 0);
    EXPECT_EQ(bad.Format(), "");
    EXPECT_EQ(bad.Format("%Y"), "");
    EXPECT_EQ(DateTime::Invalid().Format("%Y-%m-%d %H:%M:%S"), "");
    EXPECT_FALSE((bad + kOneDay).IsValid());
    EXPECT_FALSE((bad - kOneHour).IsValid());
    EXPECT_FALSE(DateTime::Invalid().IsValid());
}

TEST(DateTimeValidity, ArithmeticLeavingTheRangeGivesAnInvalidValue) {
    EXPECT_FALSE((DateTime(9999, 12, 31, 23, 59, 59) + DateTimeSpan(0, 0, 0, 1)).IsValid());
    EXPECT_FALSE((DateTime(100, 1, 1, 0, 0, 0) - DateTimeSpan(0, 0, 0, 1)).IsValid());
    EXPECT_TRUE((DateTime(9999, 12, 31, 23, 59, 58) + DateTimeSpan(0, 0, 0, 1)).IsValid());
}

// --- Nearest-second rounding -------------------------------------------------------

TEST(DateTimeRounding, FieldsRoundToTheNearestSecond) {
    const DateTime base(2009, 3, 12, 15, 10, 20);
    ExpectFields(After(base, 0.4), 2009, 3, 12, 15, 10, 20);
    ExpectFields(After(base, 0.6), 2009, 3, 12, 15, 10, 21);
    ExpectFields(After(base, -0.4), 2009, 3, 12, 15, 10, 20);
    ExpectFields(After(base, -0.6), 2009, 3, 12, 15, 10, 19);
}

TEST(DateTimeRounding, RoundingUpCarriesIntoMinuteHourDayMonthAndYear) {
    ExpectFields(After(DateTime(2009, 3, 12, 15, 10, 59), 0.6), 2009, 3, 12, 15, 11, 0);
    ExpectFields(After(DateTime(2009, 3, 12, 15, 59, 59), 0.6), 2009, 3, 12, 16, 0, 0);
    ExpectFields(After(DateTime(2009, 3, 12, 23, 59, 59), 0.6), 2009, 3, 13, 0, 0, 0);
    ExpectFields(After(DateTime(2009, 2, 28, 23, 59, 59), 0.6), 2009, 3, 1, 0, 0, 0);
    ExpectFields(After(DateTime(2009, 12, 31, 23, 59, 59), 0.6), 2010, 1, 1, 0, 0, 0);
    // The same carry just before the epoch, where the day count is negative and the
    // time of day grows with the magnitude: -1.99999537 is 1899-12-29 23:59:59.6.
    ExpectFields(DateTime(-1.0 - 86399.6 * kOneSecond), 1899, 12, 30, 0, 0, 0);
    ExpectFields(DateTime(-1.0 - 86399.4 * kOneSecond), 1899, 12, 29, 23, 59, 59);
}

TEST(DateTimeRounding, RoundedValueFormatsAndComparesAsTheRoundedSecond) {
    const DateTime late = After(DateTime(2009, 3, 12, 14, 59, 59), 0.6);
    EXPECT_EQ(late.Format(), "2009-03-12 15:00:00");
    EXPECT_EQ(late, DateTime(2009, 3, 12, 15, 0, 0));
    EXPECT_EQ(late.ToSeconds(), DateTime(2009, 3, 12, 15, 0, 0).ToSeconds());
}

// A full hour is told by minute and second both reading 0, which must hold for a
// value that lies a fraction of a second either side of the hour.
TEST(DateTimeRounding, FullHourIsDetectedOnEitherSideOfTheHour) {
    const DateTime hour(2009, 3, 12, 15, 0, 0);
    for (double offset : {0.0, 0.4, -0.4}) {
        const DateTime dt = After(hour, offset);
        EXPECT_EQ(dt.GetHour(), 15) << offset;
        EXPECT_EQ(dt.GetMinute(), 0) << offset;
        EXPECT_EQ(dt.GetSecond(), 0) << offset;
    }
    EXPECT_NE(After(hour, 0.6).GetSecond(), 0);
    EXPECT_NE(After(hour, -0.6).GetMinute(), 0);
    // 14:59:59.6 is the full hour 15:00.
    const DateTime almost = After(DateTime(2009, 3, 12, 14, 59, 59), 0.6);
    EXPECT_EQ(almost.GetHour(), 15);
    EXPECT_EQ(almost.GetMinute(), 0);
    EXPECT_EQ(almost.GetSecond(), 0);
}

// --- Arithmetic --------------------------------------------------------------------

TEST(DateTimeArithmetic, DaysAcrossMonthAndYearEnds) {
    ExpectFields(DateTime(2009, 1, 31, 10, 0, 0) + kOneDay, 2009, 2, 1, 10, 0, 0);
    ExpectFields(DateTime(2009, 2, 28, 10, 0, 0) + kOneDay, 2009, 3, 1, 10, 0, 0);
    ExpectFields(DateTime(2009, 4, 30, 10, 0, 0) + kOneDay, 2009, 5, 1, 10, 0, 0);
    ExpectFields(DateTime(2009, 12, 31, 10, 0, 0) + kOneDay, 2010, 1, 1, 10, 0, 0);
    ExpectFields(DateTime(2009, 3, 1, 10, 0, 0) - kOneDay, 2009, 2, 28, 10, 0, 0);
    ExpectFields(DateTime(2010, 1, 1, 0, 0, 0) - kOneDay, 2009, 12, 31, 0, 0, 0);
    ExpectFields(DateTime(2009, 3, 12, 0, 0, 0) + DateTimeSpan(365, 0, 0, 0), 2010, 3, 12, 0, 0, 0);
    ExpectFields(DateTime(2009, 3, 12, 0, 0, 0) - DateTimeSpan(730, 0, 0, 0), 2007, 3, 13, 0, 0, 0);
}

TEST(DateTimeArithmetic, LeapDay) {
    ExpectFields(DateTime(2008, 2, 28, 12, 0, 0) + kOneDay, 2008, 2, 29, 12, 0, 0);
    ExpectFields(DateTime(2008, 2, 29, 12, 0, 0) + kOneDay, 2008, 3, 1, 12, 0, 0);
    ExpectFields(DateTime(2008, 3, 1, 0, 0, 0) - kOneMinute, 2008, 2, 29, 23, 59, 0);
    ExpectFields(DateTime(2008, 2, 29, 23, 0, 0) + kOneHour, 2008, 3, 1, 0, 0, 0);
    EXPECT_DOUBLE_EQ((DateTime(2008, 3, 1, 0, 0, 0) - DateTime(2008, 2, 1, 0, 0, 0)).GetTotalDays(),
                     29.0);
    EXPECT_DOUBLE_EQ((DateTime(2009, 3, 1, 0, 0, 0) - DateTime(2009, 2, 1, 0, 0, 0)).GetTotalDays(),
                     28.0);
}

TEST(DateTimeArithmetic, HoursAndMinutesAcrossDayMonthAndYearEnds) {
    ExpectFields(DateTime(2009, 3, 12, 23, 0, 0) + kOneHour, 2009, 3, 13, 0, 0, 0);
    ExpectFields(DateTime(2009, 3, 31, 23, 30, 0) + kOneHour, 2009, 4, 1, 0, 30, 0);
    ExpectFields(DateTime(2009, 12, 31, 23, 0, 0) + kOneHour, 2010, 1, 1, 0, 0, 0);
    ExpectFields(DateTime(2009, 12, 31, 23, 59, 0) + kOneMinute, 2010, 1, 1, 0, 0, 0);
    ExpectFields(DateTime(2009, 4, 30, 23, 50, 0) + kTenMinutes, 2009, 5, 1, 0, 0, 0);
    ExpectFields(DateTime(2010, 1, 1, 0, 0, 0) - kOneMinute, 2009, 12, 31, 23, 59, 0);
    ExpectFields(DateTime(2010, 1, 1, 0, 5, 0) - kTenMinutes, 2009, 12, 31, 23, 55, 0);
    ExpectFields(DateTime(2009, 3, 1, 0, 0, 0) - DateTimeSpan(0, 0, 0, 1), 2009, 2, 28, 23, 59, 59);
}

// Stepping in ten-minute spans (a fraction of a day that is not exact in binary)
// must not drift: a year of steps lands exactly on the same time a year later.
TEST(DateTimeArithmetic, RepeatedStepsDoNotDrift) {
    DateTime dt(2009, 1, 1, 0, 0, 0);
    for (int i = 0; i < 6 * 24 * 365; ++i) dt += kTenMinutes;
    ExpectFields(dt, 2010, 1, 1, 0, 0, 0);
    EXPECT_EQ(dt, DateTime(2010, 1, 1, 0, 0, 0));

    DateTime back(2009, 3, 12, 15, 0, 0);
    for (int i = 0; i < 3600; ++i) back -= DateTimeSpan(0, 0, 0, 1);
    ExpectFields(back, 2009, 3, 12, 14, 0, 0);
}

TEST(DateTimeArithmetic, DifferenceOfInstants) {
    const DateTimeSpan span = DateTime(2009, 3, 1, 0, 0, 10) - DateTime(2009, 2, 28, 23, 50, 0);
    EXPECT_DOUBLE_EQ(span.GetTotalSeconds(), 610.0);
    EXPECT_DOUBLE_EQ(
        (DateTime(2009, 2, 28, 0, 0, 0) - DateTime(2009, 3, 1, 0, 0, 0)).GetTotalDays(), -1.0);
    EXPECT_DOUBLE_EQ(DateTimeSpan(1, 2, 3, 4).GetTotalSeconds(), 86400.0 + 7200 + 180 + 4);
}

// --- Format ------------------------------------------------------------------------

TEST(DateTimeFormat, FormatsTheFields) {
    const DateTime dt(2009, 3, 12, 15, 4, 5);
    EXPECT_EQ(dt.Format("%Y-%m-%d %H:%M:%S"), "2009-03-12 15:04:05");
    EXPECT_EQ(dt.Format(), "2009-03-12 15:04:05");
    EXPECT_EQ(dt.Format("%Y%m%d%H%M"), "200903121504");
    EXPECT_EQ(DateTime(1900, 1, 1, 0, 0, 0).Format(), "1900-01-01 00:00:00");
    EXPECT_EQ(DateTime(-1.25).Format(), "1899-12-29 06:00:00");
    EXPECT_EQ(dt.Format(""), "");
}

TEST(DateTimeFormat, WeekdayAndDayOfYear) {
    EXPECT_EQ(DateTime(2009, 3, 12, 0, 0, 0).Format("%a %A"), "Thu Thursday");
    EXPECT_EQ(DateTime(2009, 3, 12, 0, 0, 0).Format("%j"), "071");
    EXPECT_EQ(DateTime(2008, 12, 31, 0, 0, 0).Format("%j"), "366");
    EXPECT_EQ(DateTime(2009, 1, 1, 0, 0, 0).Format("%j"), "001");
    EXPECT_EQ(DateTime(1899, 12, 29, 6, 0, 0).Format("%j"), "363");
    // Week of the year counts from the first Sunday (%U) or Monday (%W).
    EXPECT_EQ(DateTime(2009, 3, 12, 0, 0, 0).Format("%U %W"), "10 10");
}

// --- Comparison --------------------------------------------------------------------

TEST(DateTimeCompare, ComparesInstantsToTheSecond) {
    const DateTime a(2009, 3, 12, 15, 0, 0);
    const DateTime b(2009, 3, 12, 15, 0, 1);
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(a <= b);
    EXPECT_TRUE(b >= a);
    EXPECT_TRUE(a != b);
    EXPECT_FALSE(a == b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(a <= a);
    EXPECT_TRUE(a >= a);
    EXPECT_FALSE(a < a);

    // Values less than half a second apart are the same instant.
    EXPECT_EQ(a, After(a, 0.3));
    EXPECT_FALSE(a < After(a, 0.3));
    EXPECT_LT(a, After(a, 0.6));
    EXPECT_TRUE(DateTime(2009, 12, 31, 23, 59, 59) < DateTime(2010, 1, 1, 0, 0, 0));
}

TEST(DateTimeCompare, InvalidIsNotEqualToAValidValue) {
    EXPECT_NE(DateTime::Invalid(), DateTime());
    EXPECT_NE(DateTime(2009, 13, 1, 0, 0, 0), DateTime(1899, 12, 30, 0, 0, 0));
}

// --- Day of week -------------------------------------------------------------------

TEST(DateTimeDayOfWeek, CountsFromSunday) {
    EXPECT_EQ(DateTime(2009, 3, 12, 15, 0, 0).GetDayOfWeek(), 5);    // Thursday
    EXPECT_EQ(DateTime(2009, 3, 15, 0, 0, 0).GetDayOfWeek(), 1);     // Sunday
    EXPECT_EQ(DateTime(2009, 3, 14, 23, 59, 59).GetDayOfWeek(), 7);  // Saturday
    EXPECT_EQ(DateTime(1899, 12, 30, 0, 0, 0).GetDayOfWeek(), 7);    // Saturday
    EXPECT_EQ(DateTime(1899, 12, 29, 6, 0, 0).GetDayOfWeek(), 6);    // Friday, negative count
    EXPECT_EQ(DateTime(1899, 12, 24, 0, 0, 0).GetDayOfWeek(), 1);    // Sunday
    EXPECT_EQ(DateTime(2000, 1, 1, 0, 0, 0).GetDayOfWeek(), 7);      // Saturday
    // Rounding into the next day also moves the weekday.
    EXPECT_EQ(After(DateTime(2009, 3, 14, 23, 59, 59), 0.6).GetDayOfWeek(), 1);
}

TEST(DateTimeDayOfWeek, AdvancesOneADayThroughAWholeCycle) {
    DateTime dt(2009, 3, 8, 12, 0, 0);  // a Sunday
    for (int i = 0; i < 14; ++i) {
        EXPECT_EQ(dt.GetDayOfWeek(), i % 7 + 1) << dt.Format();
        dt += kOneDay;
    }
}
