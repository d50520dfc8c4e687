// The zelk command's two views: zelkd's status as tables, and the threads
// that have marker files with their state, as tables or JSON.
#ifndef ZELK_TOOLS_VIEWS_H
#define ZELK_TOOLS_VIEWS_H

#include <cstdio>
#include <string>

#include "json.h"

namespace zelktool {

// Prints the status document as readable tables.
void printStatus(FILE *out, const Value &status);

// The threads named by markers in markerDir, with what /proc and zelkd's
// status (null when zelkd is not running) say about them, as a JSON
// document.
std::string threadsJson(const std::string &markerDir, const Value &status);

// Prints that document as a table.
void printThreads(FILE *out, const Value &threads);

} // namespace zelktool

#endif
