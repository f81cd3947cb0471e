#include "tool/ferryinfo/report.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/console.h"

namespace ferry::info {

namespace {

using Members = std::vector<std::pair<std::string, std::string>>;

std::string format(const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  char text[128];
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// A text field up to its NUL or its end.
template <size_t N> std::string field_text(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// Printable bytes as they are, the others as \xNN, so a damaged text
// cannot upset the terminal.
std::string printable(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes)
    out += c >= 0x20 && c <= 0x7E ? std::string(1, static_cast<char>(c)) : format("\\x%02X", c);
  return out;
}

std::string json_int(int64_t v) {
  return format("%lld", static_cast<long long>(v));
}

// JSON has no NaN or infinity: such a value is null there.
std::string json_number(double v, int digits) {
  return std::isfinite(v) ? format("%.*g", digits, v) : "null";
}

std::string json_object(const Members &members) {
  std::string out = "{";
  for (const auto &[name, value] : members)
    out += (out.size() > 1 ? ", " : "") + json_string(name) + ": " + value;
  return out + "}";
}

bool is_absent(int16_t x, int16_t y, int16_t width, int16_t height) {
  return x == 0 && y == 0 && width == 0 && height == 0;
}

std::string window_text(int16_t x, int16_t y, int16_t width, int16_t height) {
  return format("%d x %d at (%d, %d)", width, height, x, y);
}

Members window_members(int16_t x, int16_t y, int16_t width, int16_t height) {
  return {{"x", json_int(x)},
          {"y", json_int(y)},
          {"width", json_int(width)},
          {"height", json_int(height)}};
}

ReportRow format_row(const ShownFile &f) {
  if (f.kind == FileKind::hdp)
    return {"format", format("%d", f.hdp_format), {{"format", json_int(f.hdp_format)}}};
  const data_file_layout &l = f.layout;
  return {"format",
          format("%d (magic number 0x%8.8X, %u-byte header)", l.header_format, l.magic_number,
                 l.header_size),
          {{"format", json_int(l.header_format)},
           {"magic_number", json_string(format("0x%8.8X", l.magic_number))},
           {"header_size", json_int(l.header_size)}}};
}

ReportRow phase_window_row(const phase_matrix &m) {
  if (is_absent(m.x, m.y, m.width, m.height))
    return {"phase window", "none", {{"phase_window", "null"}}};
  return {"phase window",
          window_text(m.x, m.y, m.width, m.height),
          {{"phase_window", json_object(window_members(m.x, m.y, m.width, m.height))}}};
}

ReportRow intensity_window_row(const intensity_matrix &m) {
  if (is_absent(m.x, m.y, m.width, m.height) && m.n_buckets == 0)
    return {"intensity window", "none", {{"intensity_window", "null"}}};
  Members members = window_members(m.x, m.y, m.width, m.height);
  members.emplace_back("n_buckets", json_int(m.n_buckets));
  return {"intensity window",
          window_text(m.x, m.y, m.width, m.height) + format(", %d buckets", m.n_buckets),
          {{"intensity_window", json_object(members)}}};
}

ReportRow bytes_row(const char *label, const char *name, uint32_t bytes) {
  return {label, format("%u bytes", bytes), {{name, json_int(bytes)}}};
}

// The time stamp as a local date, as the HDP conversion read it; 0 stands
// for no date.
ReportRow timestamp_row(int32_t timestamp) {
  char date[40] = "";
  if (timestamp != 0)
    u_format_time(static_cast<time_t>(timestamp), date);
  const bool dated = date[0] != '\0';
  return {"timestamp",
          timestamp == 0 ? "none (0)" : format("%s (%d)", dated ? date : "no date", timestamp),
          {{"timestamp", json_int(timestamp)}, {"date", dated ? json_string(date) : "null"}}};
}

ReportRow text_row(const char *label, const char *name, const std::string &text) {
  return {label, printable(text), {{name, json_string(text)}}};
}

// Floats as people read them here, and with every digit a float has in
// the JSON.
ReportRow float_row(const char *name, float v) {
  return {name, format("%g", v), {{name, json_number(v, 9)}}};
}

void add_statistics(const PhaseStatistics &s, std::vector<ReportRow> &rows) {
  const uint64_t invalid = s.samples - s.valid;
  const double share = s.samples ? double(invalid) / double(s.samples) : 0.0;
  rows.push_back(
      {"valid samples",
       format("%llu of %llu", (unsigned long long)s.valid, (unsigned long long)s.samples),
       {{"phase_samples", json_int(int64_t(s.samples))},
        {"valid_samples", json_int(int64_t(s.valid))}}});
  rows.push_back(
      {"invalid samples",
       s.samples ? format("%llu (%.2f%%)", (unsigned long long)invalid, 100 * share) : "0",
       {{"invalid_samples", json_int(int64_t(invalid))},
        {"invalid_share", json_number(share, 10)}}});
  const bool any = s.valid > 0;
  rows.push_back({"phase minimum",
                  any ? format("%d", s.minimum) : "none",
                  {{"phase_minimum", any ? json_int(s.minimum) : "null"}}});
  rows.push_back({"phase maximum",
                  any ? format("%d", s.maximum) : "none",
                  {{"phase_maximum", any ? json_int(s.maximum) : "null"}}});
  rows.push_back({"phase mean",
                  any ? format("%.3f", s.mean) : "none",
                  {{"phase_mean", any ? json_number(s.mean, 10) : "null"}}});
}

} // namespace

std::string json_string(const std::string &bytes) {
  std::string out = "\"";
  for (unsigned char c : bytes) {
    if (c == '"' || c == '\\')
      out += {'\\', static_cast<char>(c)};
    else if (c >= 0x20 && c <= 0x7E)
      out += static_cast<char>(c);
    else
      out += format("\\u%04X", c);
  }
  return out + "\"";
}

std::vector<ReportRow> report_rows(const char *path, const ShownFile &f) {
  const data_header &h = f.header;
  const bool data_file = f.kind == FileKind::data_file;
  std::vector<ReportRow> rows;
  rows.push_back(text_row("file", "file", path));
  rows.push_back({"kind",
                  data_file ? "binary data file" : "HDP file",
                  {{"kind", json_string(data_file ? "data file" : "HDP file")}}});
  rows.push_back(format_row(f));
  rows.push_back(
      {"camera frame",
       format("%d x %d", h.camera_width, h.camera_height),
       {{"camera_width", json_int(h.camera_width)}, {"camera_height", json_int(h.camera_height)}}});
  rows.push_back(phase_window_row(f.phase));
  if (data_file)
    rows.push_back(bytes_row("phase array", "phase_bytes", f.layout.phase_bytes));
  rows.push_back(intensity_window_row(f.intensity));
  if (data_file)
    rows.push_back(bytes_row("intensity array", "intens_bytes", f.layout.intens_bytes));
  rows.push_back(timestamp_row(h.timestamp));
  rows.push_back(text_row("comment", "comment", field_text(h.comment)));
  rows.push_back(text_row("name", "name", field_text(h.text_at_258)));
  rows.push_back(float_row("f32_at_164", h.f32_at_164));
  rows.push_back(float_row("f32_at_168", h.f32_at_168));
  rows.push_back(float_row("f32_at_176", h.f32_at_176));
  rows.push_back(float_row("f32_at_184", h.f32_at_184));
  add_statistics(phase_statistics(f.phase), rows);
  return rows;
}

std::string report_text(const std::vector<ReportRow> &rows) {
  size_t width = 0;
  for (const ReportRow &r : rows)
    width = std::max(width, r.label.size());
  std::string out;
  for (const ReportRow &r : rows)
    out += r.label + ":" + std::string(width - r.label.size() + 1, ' ') + r.text + "\n";
  return out;
}

std::string report_json(const std::vector<ReportRow> &rows) {
  std::string out;
  for (const ReportRow &r : rows)
    for (const auto &[name, value] : r.json)
      out += (out.empty() ? "{\n  " : ",\n  ") + json_string(name) + ": " + value;
  return out + "\n}\n";
}

} // namespace ferry::info
