/*
 * value_text.h - how the command writes values: numbers in their shortest
 * form that reads back to the same double, CSV fields, JSON values, and an
 * output buffer for standard output.
 */
#ifndef ORVTSDB_VALUE_TEXT_H
#define ORVTSDB_VALUE_TEXT_H

#include <nlohmann/json.hpp>
#include <string>

namespace orvtsdb_cli {

using Json = nlohmann::ordered_json;

/* Appends v in the shortest text that strtod reads back exactly
 * (std::to_chars); "NaN", "+Inf" and "-Inf" for the non-finite values. */
void append_number(std::string &out, double v);
std::string number_text(double v);

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

}  // namespace orvtsdb_cli

#endif
