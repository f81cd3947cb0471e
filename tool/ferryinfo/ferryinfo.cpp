#include "tool/ferryinfo/ferryinfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "base/errors.h"
#include "base/files.h"
#include "tool/ferryinfo/phase_picture.h"
#include "tool/ferryinfo/report.h"
#include "tool/ferryinfo/shown_file.h"

namespace {

using namespace ferry::info;

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

int usage() {
  for (const char *line : kUsageLines)
    std::fputs(line, stderr);
  return FERRYINFO_USAGE;
}

// A path as the readers and the picture writer get it: a path that starts
// with a UTF-16 byte-order mark is read in 16-bit units up to a zero unit,
// which may lie past the argument's zero byte; the copy ends in enough zero
// bytes that such a reading always stops inside it.
class PathArgument {
public:
  void assign(const char *arg) {
    text_.assign(arg);
    text_.append(3, '\0');
    set_ = true;
  }
  const char *c_str() const { return set_ ? text_.c_str() : nullptr; }

private:
  std::string text_;
  bool set_ = false;
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
      if (arg[1] != 'f')
        return false;
      args->force = true;
    } else if (!args->file.c_str()) {
      args->file.assign(arg);
    } else {
      return false;
    }
  }
  return args->file.c_str() != nullptr;
}

void print_unable(const Arguments &args) {
  std::fprintf(stderr, "Unable to show \"%s\" because...\n", args.file.c_str());
}

int fail(const Arguments &args, int status, const std::string &what, u_err_t code) {
  print_unable(args);
  std::fprintf(stderr, "\tthere was an error %s\n\t%s\n", what.c_str(), u_error_name(code));
  return status;
}

std::string the_file(const char *stage, const char *path) {
  return std::string(stage) + " the file \"" + path + "\"";
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

int show(const Arguments &args) {
  ShownFile file;
  if (u_err_t err = load_shown_file(args.file.c_str(), file))
    return fail(args, FERRYINFO_READ_FAILED, the_file("reading", args.file.c_str()), err);
  if (u_err_t err = print_report(args, file))
    return fail(args, FERRYINFO_WRITE_FAILED, "writing to the standard output", err);
  if (const char *png = args.png.c_str()) {
    if (u_err_t err = write_phase_png(png, file.phase, args.zoom))
      return fail(args, FERRYINFO_WRITE_FAILED, the_file("writing to", png), err);
    std::fprintf(stderr, "Phase map of \"%s\" drawn in \"%s\"\n", args.file.c_str(), png);
  }
  return FERRYINFO_OK;
}

} // namespace

extern "C" int ferryinfo_run(int argc, char **argv) {
  Arguments args;
  if (!parse_arguments(argc, argv, &args))
    return usage();
  if (!is_regular_file(args.file.c_str())) {
    print_unable(args);
    std::fprintf(stderr, "\t\"%s\" does not exist\n", args.file.c_str());
    return FERRYINFO_NO_INPUT;
  }
  const char *png = args.png.c_str();
  if (png && !args.force && is_regular_file(png)) {
    print_unable(args);
    std::fprintf(stderr, "\t\"%s\" already exists\n", png);
    return FERRYINFO_PICTURE_EXISTS;
  }
  return show(args);
}
