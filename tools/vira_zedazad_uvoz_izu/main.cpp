/*
 * main.cpp - entry of vira_zedazad_uvoz_izu: takes the work directory from
 * TW_WDIR, accepts the command line, then runs the migration, which ends the
 * process itself.
 */
#include <stdio.h>
#include <stdlib.h>

#include "vira_zedazad_uvoz_izu.h"

int main(int argc, char **argv) {
  keep_standard_streams_open();
  const char *wdir = getenv("TW_WDIR");
  snprintf(tw_wdir, sizeof tw_wdir, "%s", wdir ? wdir : "");
  if (tw_wdir[0] == '\0') vzu_fatal(stderr, "ERROR : TW_WDIR not set, exiting!\n");
  parse_and_validate_arg(argc, argv, tw_wdir);
  run_migration();
}
