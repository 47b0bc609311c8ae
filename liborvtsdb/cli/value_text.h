/*
 * value_text.h - how the command writes values: numbers in their shortest
 * form that reads back to the same double, CSV fields, JSON values, and an
 * output buffer for standard output.
 */
#ifndef ORVTSDB_VALUE_TEXT_H
#define ORVTSDB_VALUE_TEXT_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace orvtsdb_cli {

using Json = nlohmann::ordered_json;

/* Appends v in the shortest text that strtod reads back exactly
 * (std::to_chars); "NaN", "+Inf" and "-Inf" for the non-finite values. */
void append_number(std::string &out, double v);
std::string number_text(double v);

/* The same text written at p, which has room for kNumberRoom bytes; returns
 * the end of what was written. */
constexpr size_t kNumberRoom = 64;
char *put_number(char *p, double v);

/* v in decimal at p (room for 20 bytes), as std::to_string writes it. */
char *put_integer(char *p, int64_t v);

/* A value that does not read as absent as dump() writes json_value(v) (room
 * for kNumberRoom bytes): the number as nlohmann writes a double ("196.0"),
 * "null" for the missing marker, "\"NaN\"", "\"+Inf\"" or "\"-Inf\"". */
char *put_json_value(char *p, double v);

/* A CSV text field: as is, or quoted with doubled quotes when it holds a
 * comma, a quote, CR or LF (RFC 4180). Text a spreadsheet would run as a
 * formula (a first character of = + - @, tab or CR) gets a leading ' and
 * quotes, as OWASP advises against CSV injection; numbers never come here. */
std::string csv_field(const std::string &s);

/* Text as it may be shown and written to JSON: itself when it is valid
 * UTF-8; else each invalid byte becomes U+FFFD and " (hex <every byte of
 * the text>)" follows, so the stored bytes can still be read off exactly. */
std::string shown_text(const std::string &s);

/* A stored description as shown: without the line ends and blanks the
 * definitions leave at its end ("Response time\n" reads "Response time"). */
std::string trimmed_text(const std::string &s);

/* j as JSON text (indent as nlohmann's dump); never throws: strings and keys
 * that are not UTF-8 are written as shown_text gives them. */
std::string json_dump(const Json &j, int indent = -1);

/* A stored value in JSON: null for the missing marker, the number itself
 * when finite, else the text of number_text ("NaN", "+Inf", "-Inf"), since
 * JSON has no such numbers. */
Json json_value(double v);

/* An integer or null as text: "-" for null. */
std::string dash_or(const Json &v);

/* Prints j to standard output, indented by two, and a newline. */
void print_json(const Json &j);

/* Writes n bytes to standard output; dies (status 1) when it cannot. */
void write_out(const char *data, size_t n);

/* Collects text and writes it to standard output in large blocks; dies
 * (status 1) when standard output cannot be written. */
class OutBuffer {
 public:
  ~OutBuffer() { flush(); }
  std::string &text() { return buf_; }
  /* Writes when more than a block has gathered. */
  void maybe_flush() {
    if (buf_.size() >= (1u << 16)) flush();
  }
  void flush();

 private:
  std::string buf_;
};

/* OutBuffer for lines built in place: a reader asks for room, writes its
 * line there and hands back the end, with no check per character. The text
 * is cut into the blocks OutBuffer writes (a block ends with the first whole
 * line or object past 64 KiB), but the blocks are written to standard
 * output a megabyte at a time: a reader that dies part-way calls
 * write_blocks() first, and standard output then holds exactly what
 * OutBuffer would have written. */
class LineBuffer {
 public:
  static constexpr size_t kBlock = 1u << 16;
  static constexpr size_t kBatch = 1u << 20;
  LineBuffer()
      : data_(new char[kBatch * 2]),
        end_(data_.get()),
        cut_(data_.get()),
        cap_(data_.get() + kBatch * 2) {}
  ~LineBuffer() { flush(); }
  LineBuffer(const LineBuffer &) = delete;
  LineBuffer &operator=(const LineBuffer &) = delete;

  /* At least n writable bytes at the end of the text. */
  char *room(size_t n) {
    if ((size_t)(cap_ - end_) < n) grow(n);
    return end_;
  }
  /* The text now ends at p (within the last room()). */
  void advance(char *p) { end_ = p; }
  void append(std::string_view s) {
    char *p = room(s.size());
    std::memcpy(p, s.data(), s.size());
    end_ = p + s.size();
  }
  /* After a whole line or object: ends a block once 64 KiB have gathered
   * since the last one, and writes the blocks once they make a batch. */
  void line_done() {
    if ((size_t)(end_ - cut_) < kBlock) return;
    cut_ = end_;
    if ((size_t)(cut_ - data_.get()) >= kBatch) write_blocks();
  }
  /* Writes the blocks ended so far; the text after them stays. */
  void write_blocks();
  /* Writes everything. */
  void flush() {
    cut_ = end_;
    write_blocks();
  }

 private:
  void grow(size_t n);

  std::unique_ptr<char[]> data_;
  char *end_, *cut_, *cap_;
};

}  // namespace orvtsdb_cli

#endif
