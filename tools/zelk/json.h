// A small JSON reader for the documents that zelkd's control socket sends:
// objects, arrays, strings, integers, true, false and null.
#ifndef ZELK_TOOLS_JSON_H
#define ZELK_TOOLS_JSON_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zelktool {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    int64_t number = 0;
    std::string string;
    std::vector<Value> items;                           // Array
    std::vector<std::pair<std::string, Value>> members; // Object, in order

    // The member called name, or a null value.
    const Value &operator[](const char *name) const;
    int64_t num() const { return number; }
    const std::string &str() const { return string; }
    bool isNull() const { return type == Type::Null; }
};

// Parses text whole. Returns "" or what is wrong.
std::string parseJson(const std::string &text, Value &out);

} // namespace zelktool

#endif
