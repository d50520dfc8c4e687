// Text tables with columns as wide as their widest cell, and the duration
// and size formats that the zelk command prints.
#ifndef ZELK_TOOLS_TABLE_H
#define ZELK_TOOLS_TABLE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace zelktool {

class Table {
public:
    explicit Table(std::vector<std::string> header);
    void add(std::vector<std::string> row);
    // Prints the header and rows, or "  (none)" under the title.
    void print(FILE *out, const char *title) const;

private:
    std::vector<std::vector<std::string>> rows_;
};

// "850ns", "12.3us", "4.5ms", "2.0s", "3m05s", "2h10m".
std::string duration(int64_t ns);
// "512", "4.0K", "16.0M".
std::string bytes(int64_t n);
// Terminal-safe text: control bytes shown as '?'.
std::string printable(const std::string &text);

} // namespace zelktool

#endif
