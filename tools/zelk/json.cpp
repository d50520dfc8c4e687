// The JSON reader: recursive descent over the text, depth-bounded. \u
// escapes below 0x100 become that byte (zelkd escapes raw bytes so); others
// become UTF-8.
#include "json.h"

#include <cstdlib>
#include <cstring>

namespace zelktool {

namespace {

constexpr int kMaxDepth = 32;

class Parser {
public:
    explicit Parser(const std::string &text) : at_(text.c_str()) {}

    bool value(Value &out, int depth)
    {
        skip();
        if (depth > kMaxDepth)
            return false;
        switch (*at_) {
        case '{':
            return object(out, depth);
        case '[':
            return array(out, depth);
        case '"':
            out.type = Value::Type::String;
            return string(out.string);
        case 't':
            out.type = Value::Type::Bool;
            out.boolean = true;
            return word("true");
        case 'f':
            out.type = Value::Type::Bool;
            return word("false");
        case 'n':
            return word("null");
        default:
            return number(out);
        }
    }
    bool atEnd()
    {
        skip();
        return *at_ == '\0';
    }

private:
    void skip()
    {
        while (*at_ == ' ' || *at_ == '\n' || *at_ == '\t' || *at_ == '\r')
            ++at_;
    }
    bool word(const char *w)
    {
        const size_t n = strlen(w);
        if (strncmp(at_, w, n) != 0)
            return false;
        at_ += n;
        return true;
    }
    bool number(Value &out)
    {
        char *end = nullptr;
        out.number = strtoll(at_, &end, 10);
        if (end == at_)
            return false;
        out.type = Value::Type::Number;
        at_ = end;
        return true;
    }
    bool string(std::string &out)
    {
        ++at_; // the opening quote
        while (*at_ != '"') {
            if (*at_ == '\0')
                return false;
            if (*at_ != '\\') {
                out += *at_++;
                continue;
            }
            if (*++at_ == '\0')
                return false;
            const char c = *at_++;
            if (c == 'u') {
                char hex[5] = {};
                for (int i = 0; i < 4; ++i)
                    if ((hex[i] = *at_++) == '\0')
                        return false;
                const unsigned long code = strtoul(hex, nullptr, 16);
                if (code < 0x100) {
                    out += static_cast<char>(code);
                } else if (code < 0x800) {
                    out += static_cast<char>(0xC0 | (code >> 6));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (code >> 12));
                    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (code & 0x3F));
                }
            } else {
                const char *from = "nrtbf", *to = "\n\r\t\b\f";
                const char *known = strchr(from, c);
                out += known != nullptr && c != '\0' ? to[known - from] : c;
            }
        }
        ++at_;
        return true;
    }
    bool array(Value &out, int depth)
    {
        out.type = Value::Type::Array;
        ++at_;
        skip();
        if (*at_ == ']')
            return ++at_, true;
        for (;;) {
            out.items.emplace_back();
            if (!value(out.items.back(), depth + 1))
                return false;
            skip();
            if (*at_ == ']')
                return ++at_, true;
            if (*at_++ != ',')
                return false;
        }
    }
    bool object(Value &out, int depth)
    {
        out.type = Value::Type::Object;
        ++at_;
        skip();
        if (*at_ == '}')
            return ++at_, true;
        for (;;) {
            skip();
            std::string name;
            if (*at_ != '"' || !string(name))
                return false;
            skip();
            if (*at_++ != ':')
                return false;
            out.members.emplace_back(std::move(name), Value{});
            if (!value(out.members.back().second, depth + 1))
                return false;
            skip();
            if (*at_ == '}')
                return ++at_, true;
            if (*at_++ != ',')
                return false;
        }
    }

    const char *at_;
};

} // namespace

const Value &Value::operator[](const char *name) const
{
    static const Value none;
    for (const auto &[key, value] : members)
        if (key == name)
            return value;
    return none;
}

std::string parseJson(const std::string &text, Value &out)
{
    Parser parser(text);
    if (!parser.value(out, 0) || !parser.atEnd())
        return "malformed answer from zelkd";
    return "";
}

} // namespace zelktool
