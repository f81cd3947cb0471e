#pragma once
// What ferryinfo prints about a file: one list of rows, rendered either as
// aligned "name: value" lines for people or as one JSON object for
// scripts, so that both always carry the same facts.

#include <string>
#include <utility>
#include <vector>

#include "tool/ferryinfo/shown_file.h"

namespace ferry::info {

// One line of the report: its label and text, and the JSON members (name,
// JSON value) that carry the same facts.
struct ReportRow {
  std::string label;
  std::string text;
  std::vector<std::pair<std::string, std::string>> json;
};

std::vector<ReportRow> report_rows(const char *path, const ShownFile &file);

// "label:" padded to the longest label, a blank and the text, per row.
std::string report_text(const std::vector<ReportRow> &rows);

// One object with every row's members in order, one member per line.
std::string report_json(const std::vector<ReportRow> &rows);

// A JSON string of the bytes: quote, backslash and every byte outside
// 0x20..0x7E escaped, so any text of a file gives valid JSON.
std::string json_string(const std::string &bytes);

} // namespace ferry::info
