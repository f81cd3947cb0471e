#include "tool/driver.h"

#include <cstdio>
#include <string>

#include "base/errors.h"
#include "base/files.h"
#include "datafile/data_file.h"
#include "datafile/matrix.h"
#include "tool/hdp_reader.h"

namespace {

constexpr const char *kUsageLines[] = {
    "\nUsage:  ferrycvt [options] input output\n",         "\tinput  = existing HDP data file\n",
    "\toutput = Tarn binary data file to create\n",        "\n\tOptions:\n",
    "\t\t-f\twrites output even if file already exists\n",
};

int usage() {
  for (const char *line : kUsageLines)
    std::fputs(line, stderr);
  return FERRYCVT_USAGE;
}

// A path as the later stages get it. An argument ends at its first zero
// byte, but a path that starts with a UTF-16 byte-order mark is read in
// 16-bit units up to a zero unit, which may lie past that byte; the copy
// ends in enough zero bytes that such a reading always stops inside it.
class PathArgument {
public:
  void assign(const char *arg) {
    text_.assign(arg);
    text_.append(3, '\0');
  }
  const char *c_str() const { return text_.c_str(); }

private:
  std::string text_;
};

struct Arguments {
  PathArgument input_text;
  PathArgument output_text;
  const char *input = nullptr;
  const char *output = nullptr;
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
      if (arg[1] != 'f')
        return false;
      args->force = true;
    } else if (!args->input) {
      args->input_text.assign(arg);
      args->input = args->input_text.c_str();
    } else if (!args->output) {
      args->output_text.assign(arg);
      args->output = args->output_text.c_str();
    } else {
      return false;
    }
  }
  return args->input && args->output;
}

void print_unable(const Arguments &args) {
  std::fprintf(stderr, "Unable to convert \"%s\" to \"%s\" because...\n", args.input, args.output);
}

int fail_stage(const Arguments &args, int status, const char *stage, const char *path,
               u_err_t code) {
  print_unable(args);
  std::fprintf(stderr, "\tthere was an error %s the file \"%s\"\n", stage, path);
  std::fprintf(stderr, "\t%s\n", u_error_name(code));
  return status;
}

int convert(const Arguments &args) {
  data_prefix prefix;
  data_header header;
  phase_matrix phase;
  std::fprintf(stderr, "Converting \"%s\" to \"%s\"\n", args.input, args.output);
  int status = FERRYCVT_OK;
  if (u_err_t err = read_hdp_file(args.input, &prefix, &header, &phase)) {
    status = fail_stage(args, FERRYCVT_READ_FAILED, "reading", args.input, err);
  } else if (u_err_t err = write_data_file(args.output, &prefix, &header, nullptr, &phase)) {
    status = fail_stage(args, FERRYCVT_WRITE_FAILED, "writing to", args.output, err);
  } else {
    std::fprintf(stderr, "Conversion from \"%s\" to \"%s\" successful\n", args.input, args.output);
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
    return usage();
  if (!is_regular_file(args.input)) {
    print_unable(args);
    std::fprintf(stderr, "\t\"%s\" does not exist\n", args.input);
    return FERRYCVT_NO_INPUT;
  }
  if (!args.force && is_regular_file(args.output)) {
    print_unable(args);
    std::fprintf(stderr, "\t\"%s\" already exists\n", args.output);
    return FERRYCVT_OUTPUT_EXISTS;
  }
  return convert(args);
}
