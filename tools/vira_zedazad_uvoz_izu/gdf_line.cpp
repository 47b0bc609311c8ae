/*
 * gdf_line.cpp - reads a graph definition file line by line for the reader
 * and the partition-switch reconciliation.
 *
 * A line is handed over in pieces of at most size - 1 characters, each piece
 * classified on its own by the caller. Line ends are normalised so a file
 * written on Windows, or one whose last line has no line end, reads exactly
 * as the same file with plain line feeds: "\r\n" becomes "\n", and a last
 * line without its "\n" gets one. A line holding a NUL byte is reported
 * (GDF_LINE_NUL) instead of being cut at it. Single thread.
 */
#include <stdio.h>

#include "vira_zedazad_uvoz_izu.h"

namespace {

/* The next character, with "\r\n" read as "\n"; EOF at the end. */
int next_char(FILE *fp) {
  int c = getc(fp);
  if (c != '\r') return c;
  int n = getc(fp);
  if (n == '\n' || n == EOF) return '\n';
  ungetc(n, fp);
  return c;
}

}  // namespace

int gdf_read_line(GdfLines *in, char *buf, int size) {
  int len = 0;
  bool nul = false;
  int c = 0;
  while (len < size - 1 && (c = next_char(in->fp)) != EOF) {
    if (c == '\0') nul = true;
    buf[len++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (len == 0) return GDF_LINE_END;
  if (c == EOF && buf[len - 1] != '\n') {
    if (len < size - 1) buf[len++] = '\n';
  }
  buf[len] = '\0';
  if (in->at_line_start) in->line_no++;
  in->at_line_start = buf[len - 1] == '\n';
  return nul ? GDF_LINE_NUL : GDF_LINE_OK;
}
