#include "tool/ferryinfo/ferryinfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/errors.h"
#include "base/files.h"
#include "tool/cli_support.h"
#include "tool/ferryinfo/phase_picture.h"
#include "tool/ferryinfo/report.h"
#include "tool/ferryinfo/shown_file.h"

namespace {

using namespace ferry::info;
using ferry::cli::FailureReport;
using ferry::cli::PathArgument;
using ferry::cli::the_file;

constexpr const char *kUsageLines[] = {
    "\nUsage:  ferryinfo [options] file\n",
    "\tfile   = binary data file or HDP data file to show\n",
    "\n\tOptions:\n",
    "\t\t--json\t\tprints the fields as one JSON object\n",
    "\t\t--png out\tdraws the phase map into the PNG file out\n",
    "\t\t--zoom n\tdraws each sample as n x n pixels (1 to 16)\n",
    "\t\t-f\t\twrites the picture even if its file already exists\n",
    "\n\tPrints on standard output one \"name: value\" line per field:\n",
    "\t\tfile, kind, format (with the magic number and the header size\n",
    "\t\tof a data file; the format code of an HDP file), camera frame,\n",
    "\t\tphase window, phase array, intensity window, intensity array,\n",
    "\t\ttimestamp (as a local date), comment, name, f32_at_164,\n",
    "\t\tf32_at_168, f32_at_176, f32_at_184, and of the phase samples,\n",
    "\t\tin their own units: valid samples, invalid samples (0x7FFFFFF8\n",
    "\t\tand above), phase minimum, phase maximum and phase mean.\n",
    "\tThe picture shows the phase window's first row at the top, the\n",
    "\tphase from its minimum to its maximum in dark violet, blue, teal,\n",
    "\tgreen and yellow, and invalid samples in black.\n",
    "\tExit status: 0 shown, 1 usage, 2 file missing, 3 picture exists,\n",
    "\t4 reading failed, 5 writing failed.\n",
};

struct Arguments {
  PathArgument file;
  PathArgument png;
  bool json = false;
  bool force = false;
  int zoom = 1;
};

bool parse_zoom(const char *text, int *zoom) {
  char *end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 1 || n > kMaxZoom)
    return false;
  *zoom = static_cast<int>(n);
  return true;
}

// Options and the file may come in any order, as with ferrycvt; -f may be
// spelt with anything after the f. False on anything else, a second file,
// an option without its value, or no file.
bool parse_arguments(int argc, char **argv, Arguments *args) {
  for (int i = 1; i < argc; ++i) {
    const char *arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (std::strcmp(arg, "--json") == 0) {
      args->json = true;
    } else if (std::strcmp(arg, "--png") == 0 && has_value) {
      args->png.assign(argv[++i]);
    } else if (std::strcmp(arg, "--zoom") == 0 && has_value) {
      if (!parse_zoom(argv[++i], &args->zoom))
        return false;
    } else if (arg[0] == '-') {
      if (!ferry::cli::read_option(arg, args->force))
        return false;
    } else if (!args->file.c_str()) {
      args->file.assign(arg);
    } else {
      return false;
    }
  }
  return args->file.c_str() != nullptr;
}

std::string unable_line(const char *file) {
  return std::string("Unable to show \"") + file + "\" because...\n";
}

u_err_t print_report(const Arguments &args, const ShownFile &file) {
  try {
    const auto rows = report_rows(args.file.c_str(), file);
    const std::string text = args.json ? report_json(rows) : report_text(rows);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
      return ERR_CANT_WRITE_FILE;
    return ERR_NONE;
  } catch (const std::bad_alloc &) {
    return ERR_NO_MEM;
  }
}

int show(const Arguments &args, const FailureReport &report) {
  ShownFile file;
  if (u_err_t err = load_shown_file(args.file.c_str(), file))
    return report.error(the_file("reading", args.file.c_str()), err, FERRYINFO_READ_FAILED);
  if (u_err_t err = print_report(args, file))
    return report.error("writing to the standard output", err, FERRYINFO_WRITE_FAILED);
  if (const char *png = args.png.c_str()) {
    if (u_err_t err = write_phase_png(png, file.phase, args.zoom))
      return report.error(the_file("writing to", png), err, FERRYINFO_WRITE_FAILED);
    std::fprintf(stderr, "Phase map of \"%s\" drawn in \"%s\"\n", args.file.c_str(), png);
  }
  return FERRYINFO_OK;
}

} // namespace

extern "C" int ferryinfo_run(int argc, char **argv) {
  Arguments args;
  if (!parse_arguments(argc, argv, &args))
    return ferry::cli::print_usage(kUsageLines, FERRYINFO_USAGE);
  const char *shown = args.file.c_str(), *png = args.png.c_str();
  const FailureReport report(unable_line(shown));
  if (!is_regular_file(shown))
    return report.missing(shown, FERRYINFO_NO_INPUT);
  if (png && !args.force && is_regular_file(png))
    return report.already_exists(png, FERRYINFO_PICTURE_EXISTS);
  return show(args, report);
}
