// Table layout and the number formats of the zelk command.
#include "table.h"

namespace zelktool {

Table::Table(std::vector<std::string> header)
{
    rows_.push_back(std::move(header));
}

void Table::add(std::vector<std::string> row)
{
    rows_.push_back(std::move(row));
}

void Table::print(FILE *out, const char *title) const
{
    fprintf(out, "%s\n", title);
    if (rows_.size() == 1) {
        fputs("  (none)\n", out);
        return;
    }
    std::vector<size_t> width(rows_[0].size(), 0);
    for (const auto &row : rows_)
        for (size_t i = 0; i < row.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], row[i].size());
    for (const auto &row : rows_) {
        std::string line = " ";
        for (size_t i = 0; i < row.size() && i < width.size(); ++i) {
            line += ' ';
            line += row[i];
            if (i + 1 < row.size())
                line.append(width[i] - row[i].size(), ' ');
        }
        fprintf(out, "%s\n", line.c_str());
    }
}

std::string duration(int64_t ns)
{
    char text[32];
    const double v = static_cast<double>(ns);
    if (ns < 1000)
        snprintf(text, sizeof text, "%lldns", static_cast<long long>(ns));
    else if (ns < 1000000)
        snprintf(text, sizeof text, "%.1fus", v / 1e3);
    else if (ns < 1000000000)
        snprintf(text, sizeof text, "%.1fms", v / 1e6);
    else if (ns < 60 * int64_t{1000000000})
        snprintf(text, sizeof text, "%.1fs", v / 1e9);
    else if (ns < 3600 * int64_t{1000000000})
        snprintf(text, sizeof text, "%lldm%02llds",
                 static_cast<long long>(ns / 60000000000),
                 static_cast<long long>(ns / 1000000000 % 60));
    else
        snprintf(text, sizeof text, "%lldh%02lldm",
                 static_cast<long long>(ns / 3600000000000),
                 static_cast<long long>(ns / 60000000000 % 60));
    return text;
}

std::string bytes(int64_t n)
{
    char text[32];
    const double v = static_cast<double>(n);
    if (n < 1024)
        snprintf(text, sizeof text, "%lld", static_cast<long long>(n));
    else if (n < (int64_t{1} << 20))
        snprintf(text, sizeof text, "%.1fK", v / 1024);
    else if (n < (int64_t{1} << 30))
        snprintf(text, sizeof text, "%.1fM", v / (1 << 20));
    else
        snprintf(text, sizeof text, "%.1fG", v / (1 << 30));
    return text;
}

std::string printable(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

} // namespace zelktool
