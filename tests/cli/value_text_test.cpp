/*
 * value_text_test.cpp - the number text every reader writes: put_number
 * must give exactly what std::to_chars gives (the shortest text that reads
 * back) and put_json_value what nlohmann's dump gives, for every double,
 * whichever path writes it, as put_integer for every integer; and
 * LineBuffer must pass every byte on in order however long a line is.
 */
#include "value_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "orvtsdb.h"
#include "store_reading.h"

using namespace orvtsdb_cli;

namespace {

/* What the readers wrote before put_number: std::to_chars, with the names
 * of the non-finite values. */
std::string expected_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[64];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

std::string number_at(double v) {
  char buf[kNumberRoom];
  return std::string(buf, put_number(buf, v));
}

std::string json_at(double v) {
  char buf[kNumberRoom];
  return std::string(buf, put_json_value(buf, v));
}

/* Values of every kind a store holds: whole numbers, decimals of 1 to 6
 * places at every magnitude (the short path's edges among them), values
 * near the limits of that path, and doubles of any bits. */
std::vector<double> sample_values() {
  std::vector<double> out = {0.0,
                             -0.0,
                             1,
                             -1,
                             10,
                             100,
                             1000,
                             1e5,
                             1e6,
                             1e7,
                             123456789012,
                             1e12,
                             -1e12,
                             999999999999.999,
                             999999999999.9995,
                             1e15,
                             0.1,
                             0.01,
                             0.001,
                             0.0001,
                             0.0015,
                             -0.001,
                             0.1 + 0.2,
                             1.0 / 3,
                             127.43299999999999,
                             5e-324,
                             std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::min(),
                             std::nan(""),
                             -std::nan(""),
                             INFINITY,
                             -INFINITY};
  std::mt19937_64 rnd(7);
  for (int places = 0; places <= 6; places++)
    for (int magnitude = 0; magnitude <= 15; magnitude++)
      for (int i = 0; i < 400; i++) {
        int64_t k = (int64_t)(rnd() % (uint64_t)std::pow(10.0, magnitude)) + 1;
        double v = (double)k / std::pow(10.0, places);
        out.push_back(i % 2 ? -v : v);
        out.push_back(std::nextafter(v, 0.0));  // one step off the decimal
        if (k % 10 != 0) out.push_back((double)(k * 10) / std::pow(10.0, places));
      }
  // Doubles of any digits in every binade a value may fall in, up to and
  // past 2^53 (where a whole number's fixed text changes kind), and short
  // ones where fixed and scientific notation are about as long.
  for (int binade = -70; binade <= 70; binade++)
    for (int i = 0; i < 300; i++) {
      double v = std::ldexp(1.0 + (double)(rnd() >> 11) / 9007199254740992.0, binade);
      out.push_back(i % 2 ? -v : v);
    }
  for (int exponent = -9; exponent <= 22; exponent++)
    for (int64_t digits : {1LL, 12LL, 123LL, 1234567LL, 123456789012345LL, 1234567890123456LL})
      out.push_back((double)digits * std::pow(10.0, exponent));
  for (int i = 0; i < 20000; i++) {
    uint64_t bits = rnd();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    out.push_back(v);
  }
  return out;
}

TEST(NumberText, IsWhatToCharsWrites) {
  for (double v : sample_values()) {
    ASSERT_EQ(number_at(v), expected_text(v)) << std::hexfloat << v;
    std::string appended = "x";
    append_number(appended, v);
    ASSERT_EQ(appended, "x" + expected_text(v));
  }
}

/* Integers eight digits at a time: every digit of every lane, the edges of
 * each power of ten and the ends of int64_t. */
TEST(NumberText, IntegersAreWhatToCharsWrites) {
  auto check = [](int64_t v) {
    char got[20], want[20];
    ASSERT_EQ(std::string(got, put_integer(got, v)),
              std::string(want, std::to_chars(want, want + sizeof want, v).ptr))
        << v;
  };
  for (int64_t v = 100000000; v < 300000000; v += 13) check(v);  // every lane's digits
  std::mt19937_64 rnd(3);
  for (uint64_t power = 1; power <= 1000000000000000000; power *= 10)  // 10^19 ends it
    for (uint64_t v : {power - 1, power, power + 1, power + rnd() % (power * 8)})
      check((int64_t)v), check(-(int64_t)v);
  for (int i = 0; i < 100000; i++) check((int64_t)rnd());
  check(std::numeric_limits<int64_t>::max());
  check(std::numeric_limits<int64_t>::min());
}

TEST(NumberText, JsonValueIsWhatDumpWrites) {
  for (double v : sample_values()) {
    if (orvtsdb::is_missing(v)) continue;
    ASSERT_EQ(json_at(v), json_dump(json_value(v))) << std::hexfloat << v;
  }
  EXPECT_EQ(json_at(TSDB_MISSING_VALUE), "null");
  EXPECT_EQ(json_at(196), "196.0");
  EXPECT_EQ(json_at(-0.0), "-0.0");
  EXPECT_EQ(json_at(NAN), "\"NaN\"");
  EXPECT_EQ(json_at(-INFINITY), "\"-Inf\"");
}

/* Standard output into a file while the test writes through LineBuffer. */
class CapturedOutput {
 public:
  CapturedOutput() : path_(testing::TempDir() + "line_buffer_" + std::to_string(getpid())) {
    std::fflush(stdout);
    saved_ = dup(1);
    FILE *f = std::fopen(path_.c_str(), "w");
    dup2(fileno(f), 1);
    std::fclose(f);
  }
  /* Everything written, standard output restored. */
  std::string text() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::remove(path_.c_str());
    return s.str();
  }

 private:
  std::string path_;
  int saved_;
};

TEST(LineBuffer, PassesOnLinesLongerThanItsBlocksInOrder) {
  CapturedOutput captured;
  std::string expected;
  {
    LineBuffer out;
    for (int line = 0; line < 40; line++) {
      // lines from a few bytes to three times the first allocation
      size_t n = (size_t)line * line * 250;
      std::string text(n, (char)('a' + line % 26));
      text += '\n';
      if (line % 2) {
        out.append(text);
      } else {
        char *p = out.room(text.size());
        std::memcpy(p, text.data(), text.size());
        out.advance(p + text.size());
      }
      out.line_done();
      expected += text;
    }
  }  // the rest is written when it ends
  EXPECT_EQ(captured.text(), expected);
}

}  // namespace
