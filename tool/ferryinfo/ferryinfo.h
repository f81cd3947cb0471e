#pragma once
// The ferryinfo command line: shows what a binary data file or an HDP file
// holds, as text or JSON on standard output, and draws its phase map into
// a PNG file on request. Failures are reported on standard error, with the
// exit status of the stage that failed, as ferrycvt does.

#ifdef __cplusplus
extern "C" {
#endif

// Exit statuses of ferryinfo.
enum {
  FERRYINFO_OK = 0,
  FERRYINFO_USAGE = 1,
  FERRYINFO_NO_INPUT = 2,
  FERRYINFO_PICTURE_EXISTS = 3,
  FERRYINFO_READ_FAILED = 4,
  FERRYINFO_WRITE_FAILED = 5
};

// Runs once; returns the exit status (the entry point ends the process
// with it).
int ferryinfo_run(int argc, char **argv);

#ifdef __cplusplus
}
#endif
