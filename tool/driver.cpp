#include "tool/driver.h"

#include <cstdio>
#include <string>

#include "base/errors.h"
#include "base/files.h"
#include "datafile/data_file.h"
#include "datafile/matrix.h"
#include "tool/cli_support.h"
#include "tool/hdp_reader.h"

namespace {

using ferry::cli::FailureReport;
using ferry::cli::PathArgument;

constexpr const char *kUsageLines[] = {
    "\nUsage:  ferrycvt [options] input output\n",         "\tinput  = existing HDP data file\n",
    "\toutput = Tarn binary data file to create\n",        "\n\tOptions:\n",
    "\t\t-f\twrites output even if file already exists\n",
};

struct Arguments {
  PathArgument input;
  PathArgument output;
  bool force = false;
};

// Options and paths may come in any order; false on anything but -f, a
// third path or a missing one.
bool parse_arguments(int argc, char **argv, Arguments *args) {
  if (argc < 3)
    return false;
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    if (arg[0] == '-') {
      if (!ferry::cli::read_option(arg, args->force))
        return false;
    } else if (!args->input.c_str()) {
      args->input.assign(arg);
    } else if (!args->output.c_str()) {
      args->output.assign(arg);
    } else {
      return false;
    }
  }
  return args->input.c_str() && args->output.c_str();
}

std::string unable_line(const char *input, const char *output) {
  return std::string("Unable to convert \"") + input + "\" to \"" + output + "\" because...\n";
}

int convert(const char *input, const char *output, const FailureReport &report) {
  data_prefix prefix;
  data_header header;
  phase_matrix phase;
  std::fprintf(stderr, "Converting \"%s\" to \"%s\"\n", input, output);
  int status = FERRYCVT_OK;
  if (u_err_t err = read_hdp_file(input, &prefix, &header, &phase)) {
    status = report.error(ferry::cli::the_file("reading", input), err, FERRYCVT_READ_FAILED);
  } else if (u_err_t err = write_data_file(output, &prefix, &header, nullptr, &phase)) {
    status = report.error(ferry::cli::the_file("writing to", output), err, FERRYCVT_WRITE_FAILED);
  } else {
    std::fprintf(stderr, "Conversion from \"%s\" to \"%s\" successful\n", input, output);
  }
  // The process ends right after; giving the samples back keeps the run
  // clean for callers that are not about to exit (the tests).
  phase_matrix_free(&phase);
  return status;
}

} // namespace

extern "C" int ferrycvt_run(int argc, char **argv) {
  Arguments args;
  if (!parse_arguments(argc, argv, &args))
    return ferry::cli::print_usage(kUsageLines, FERRYCVT_USAGE);
  const char *input = args.input.c_str(), *output = args.output.c_str();
  const FailureReport report(unable_line(input, output));
  if (!is_regular_file(input))
    return report.missing(input, FERRYCVT_NO_INPUT);
  if (!args.force && is_regular_file(output))
    return report.already_exists(output, FERRYCVT_OUTPUT_EXISTS);
  return convert(input, output, report);
}
