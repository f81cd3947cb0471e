#pragma once
// The ferrycvt command line: argument handling, the two path tests, the
// reader and the writer, and the exit status of the stage that failed.

#ifdef __cplusplus
extern "C" {
#endif

// Exit statuses of ferrycvt.
enum {
  FERRYCVT_OK = 0,
  FERRYCVT_USAGE = 1,
  FERRYCVT_NO_INPUT = 2,
  FERRYCVT_OUTPUT_EXISTS = 3,
  FERRYCVT_READ_FAILED = 4,
  FERRYCVT_WRITE_FAILED = 5
};

// Runs one conversion; all text goes to standard error. Returns the exit
// status (the entry point ends the process with it).
int ferrycvt_run(int argc, char **argv);

#ifdef __cplusplus
}
#endif
