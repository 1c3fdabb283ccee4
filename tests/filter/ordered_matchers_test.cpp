// Priority, acknowledge, date and time matchers and the user's date order.
#include "filter/matchers.h"
#include "filter_test_env.h"
#include "platform/locale.h"
#include "support/node_config_writer.h"

namespace tolvane::testing {
namespace {

class OrderedMatchers : public FilterTest {
 protected:
  int Priority(const char* op, const char* value, const char* row) {
    FilterTerm t = Term("ASF_PRIORITY", op, value);
    return filter::MatchPriority(&t, row);
  }
  int Ack(const char* op, const char* value, const char* flag) {
    FilterTerm t = Term("ASF_ACK", op, value);
    return filter::MatchAck(&t, flag);
  }
  int Date(const char* pattern, const char* separator, const char* op, const char* value,
           const char* row) {
    filter::DateSettings s{};
    SetFieldText(s.pattern, pattern);
    SetFieldText(s.separator, separator);
    FilterTerm t = Term("ASF_DATEIN", op, value);
    return filter::MatchDate(&t, row, s);
  }
  int Time(const char* op, const char* value, const char* row) {
    FilterTerm t = Term("ASF_TIMEIN", op, value);
    return filter::MatchTime(&t, row);
  }
  // Which of the seven priority names a comparison selects.
  std::string Selected(const char* op, const char* value) {
    std::string out;
    for (const char* p : {"INFO", "LOLO", "LOW", "MEDIUM", "HIGH", "HIHI", "CRITICAL"}) {
      if (Priority(op, value, p)) out += std::string(out.empty() ? "" : " ") + p;
    }
    return out;
  }
};

TEST_F(OrderedMatchers, PriorityRanges) {
  EXPECT_EQ(Selected(">=", "HIGH"), "HIGH HIHI CRITICAL");
  EXPECT_EQ(Selected("<=", "LOW"), "INFO LOLO LOW");
  EXPECT_EQ(Selected(">", "HIGH"), "HIHI CRITICAL");
  EXPECT_EQ(Selected("<", "LOW"), "INFO LOLO");
  EXPECT_EQ(Selected("<", "INFO"), "");
  EXPECT_EQ(Selected(">", "CRITICAL"), "");
  EXPECT_EQ(Selected(">=", "URGENT"), "");
  EXPECT_EQ(Selected("<=", "URGENT"), "");
  EXPECT_EQ(Selected("IN", "MEDIUM"), "INFO LOLO LOW MEDIUM");  // words take the "<=" branch
  EXPECT_EQ(Selected("=", " high "), "HIGH");
  EXPECT_EQ(Selected("<>", "HIGH"), "INFO LOLO LOW MEDIUM HIHI CRITICAL");
  EXPECT_EQ(Priority("=", "HIGH", " high"), 1);
  EXPECT_EQ(Priority(">=", "high", "Hihi"), 1);
}

TEST_F(OrderedMatchers, PriorityNamesComeFromTheResourcesOnce) {
  resources.SetString(node::kTolvaneResModule, 13, "HOCH");
  EXPECT_EQ(Selected(">=", "HOCH"), "HIHI CRITICAL");  // the row texts here are English
  EXPECT_EQ(Priority(">=", "HOCH", "HOCH"), 1);
  EXPECT_EQ(Selected(">=", "HIGH"), "");
  resources.SetString(node::kTolvaneResModule, 13, "HAUT");
  EXPECT_EQ(Priority(">=", "HOCH", "HOCH"), 1);  // loaded once
}

TEST_F(OrderedMatchers, WithoutAResourceManagerTheEnglishPriorityNamesStay) {
  InstallResourceBackend(nullptr);
  EXPECT_EQ(Selected(">=", "HIGH"), "HIGH HIHI CRITICAL");
}

TEST_F(OrderedMatchers, AcknowledgeWordsIgnoreTheOperator) {
  EXPECT_EQ(Ack("=", "unacknowledged", "0"), 1);
  EXPECT_EQ(Ack("=", "unacknowledged", "1"), 0);
  EXPECT_EQ(Ack("=", " Acknowledged ", "1"), 1);
  EXPECT_EQ(Ack("<>", "Acknowledged", "1"), 1);
  EXPECT_EQ(Ack("<>", "Acknowledged", "0"), 0);
  EXPECT_EQ(Ack("=", "yes", "1"), 0);
  resources.SetString(node::kTolvaneResModule, 18, "Quittiert");
  filter::ResetProcessCachesForTesting();
  EXPECT_EQ(Ack("=", "QUITTIERT", "1"), 1);
  EXPECT_EQ(Ack("=", "Acknowledged", "1"), 0);
}

TEST_F(OrderedMatchers, DatesUnderMonthDayYear) {
  EXPECT_EQ(Date("M/d/yyyy", "/", ">=", "3/1/2008", "3/15/2008"), 1);
  EXPECT_EQ(Date("M/d/yyyy", "/", ">=", "3/1/08", "3/15/2008"), 1);  // 2008 > 8
  EXPECT_EQ(Date("M/d/yyyy", "/", "<=", "3/31/2008", "3/15/2008"), 1);
  EXPECT_EQ(Date("M/d/yyyy", "/", "<=", "3/31/2008", "4/1/2008"), 0);
  EXPECT_EQ(Date("M/d/yyyy", "/", "<", "3/15/2008", "3/15/2008"), 0);
  EXPECT_EQ(Date("M/d/yyyy", "/", ">", "3/15/2008", "3/15/2008"), 0);
  EXPECT_EQ(Date("M/d/yyyy", "/", "=", "03/15/2008", "3/15/2008"), 1);
  EXPECT_EQ(Date("M/d/yyyy", "/", "<>", "3/16/2008", "3/15/2008"), 1);
  EXPECT_EQ(Date("M/d/yyyy", "/", "IN", "3/15/2008", "3/15/2008"), 0);
  // The month outranks the day: 4/1 is after 3/31.
  EXPECT_EQ(Date("M/d/yyyy", "/", ">", "3/31/2008", "4/1/2008"), 1);
}

TEST_F(OrderedMatchers, DatesUnderOtherOrders) {
  // Day first: 01.04 is after 15.03 because the month decides.
  EXPECT_EQ(Date("dd.MM.yyyy", ".", ">", "15.03.2008", "01.04.2008"), 1);
  EXPECT_EQ(Date("dd.MM.yyyy", ".", ">", "15.03.2008", "16.02.2008"), 0);
  EXPECT_EQ(Date("dd.MM.yyyy", ".", "=", "15.03.2008", "15.3.2008"), 1);
  // Year first.
  EXPECT_EQ(Date("yyyy-MM-dd", "-", "<", "2008-12-01", "2008-03-15"), 1);
  EXPECT_EQ(Date("yyyy-MM-dd", "-", ">", "2007-12-31", "2008-01-01"), 1);
  // A separator that the pattern does not use leaves the later numbers out.
  EXPECT_EQ(Date("dd.MM.yyyy", "/", "=", "15.01.1999", "15.12.2030"), 1);
  // A text that does not parse counts as zeros.
  EXPECT_EQ(Date("M/d/yyyy", "/", "=", "0/0/0", "garbage"), 1);
  EXPECT_EQ(Date("M/d/yyyy", "/", ">", "1/1/2000", "12/31"), 0);
}

TEST_F(OrderedMatchers, TimesWithAndWithoutSeconds) {
  EXPECT_EQ(Time(">", "12:00:00", "12:00:01"), 1);
  EXPECT_EQ(Time(">", "12:00:00", "12:00:00"), 0);
  EXPECT_EQ(Time("=", "12:30:00", "12:30"), 1);
  EXPECT_EQ(Time(">=", "9:59:59", "10:00"), 1);
  EXPECT_EQ(Time("<", "10:00", "09:59:59"), 1);
  EXPECT_EQ(Time("<=", "10:00", "10:00:01"), 0);
  EXPECT_EQ(Time("<>", "10:00", "10:00:00"), 0);
  EXPECT_EQ(Time("CONTAINING", "10:00", "10:00"), 0);
  EXPECT_EQ(Time("=", "99999999999:00", "2147483647:00"), 1);  // held at the limit
}

TEST_F(OrderedMatchers, ShortDatePatternFromSettingsLocaleOrFallback) {
  SettingsSandbox box;
  char pattern[48];
  box.WriteFile("win.ini", "[intl]\nsShortDate=dd.MM.yyyy\nsDate=.\n");
  EXPECT_EQ(filter::GetShortDatePattern(pattern), 1);
  EXPECT_STREQ(pattern, "dd.MM.yyyy");
  // The row-by-row path reads the same settings.
  FilterTerm t = Term("ASF_DATEIN", ">", "15.03.2008");
  EXPECT_EQ(filter::MatchDate(&t, "01.04.2008"), 1);

  // A pattern without a two-letter year falls back to the separator.
  box.WriteFile("win.ini", "[intl]\nsShortDate=dd.MM.y\nsDate=.\n");
  EXPECT_EQ(filter::GetShortDatePattern(pattern), 0);
  EXPECT_STREQ(pattern, "MM.dd.yy");
  box.WriteFile("win.ini", "[intl]\nsShortDate=d/M/y\n");
  EXPECT_EQ(filter::GetShortDatePattern(pattern), 0);
  EXPECT_STREQ(pattern, "MM/dd/yy");
  box.WriteFile("win.ini", "[intl]\nsDate=-/--\n");
  EXPECT_EQ(filter::GetShortDatePattern(nullptr), 1);  // the locale's own, below

  // Nothing configured: the locale's pattern (the tests run under C).
  box.WriteFile("win.ini", "");
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(filter::GetShortDatePattern(pattern), 1);
  EXPECT_STREQ(pattern, "MM/dd/yy");
  ::unsetenv("LC_ALL");
}

TEST_F(OrderedMatchers, LocalePatternsAreReadFromASampleDate) {
  EXPECT_EQ(ShortDatePatternFromSample("03/15/08"), "MM/dd/yy");
  EXPECT_EQ(ShortDatePatternFromSample("15.03.2008"), "dd.MM.yyyy");
  EXPECT_EQ(ShortDatePatternFromSample("2008-03-15"), "yyyy-MM-dd");
  EXPECT_EQ(ShortDatePatternFromSample("3/15/2008"), "M/dd/yyyy");
  EXPECT_EQ(ShortDatePatternFromSample("2008\xE5\xB9\xB4"
                                       "03\xE6\x9C\x88"
                                       "15"),
            "yyyy\xE5\xB9\xB4MM\xE6\x9C\x88"
            "dd");
  EXPECT_EQ(ShortDatePatternFromSample("Mar 15 2008"), "");
  EXPECT_EQ(ShortDatePatternFromSample("15/03"), "");
  EXPECT_EQ(ShortDatePatternFromSample("15/15/2008"), "");
  char small[4];
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_SSHORTDATE, small, sizeof small), 0);
  EXPECT_EQ(GetLocaleInfoA(LOCALE_USER_DEFAULT, 0x20, small, sizeof small), 0);
}

}  // namespace
}  // namespace tolvane::testing
