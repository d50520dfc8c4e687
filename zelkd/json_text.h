// The one rule for caller text in zelkd's JSON, shared by zelkd's status
// document and the zelk command's own output (whose reader undoes it): every
// byte on its own, controls, quote, backslash and bytes from 0x7F as \u
// escapes of the same number, so that any name yields valid JSON.
#ifndef ZELKD_JSON_TEXT_H
#define ZELKD_JSON_TEXT_H

#include <cstdio>
#include <string>

namespace zelkd {

// Appends s to out as a JSON string, quotes included.
inline void appendJsonString(std::string &out, const std::string &s)
{
    out += '"';
    for (const unsigned char c : s) {
        if (c < 0x20 || c == '"' || c == '\\' || c >= 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

} // namespace zelkd

#endif
