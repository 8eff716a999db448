// Test support: a small JSON reader for the reference values of the real recordings (objects,
// arrays, strings with \uXXXX escapes as UTF-8, numbers, true, false, null). A malformed text
// throws std::runtime_error.
#pragma once

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace ephys::json {

struct Value {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    double number = 0.0;  // also 1 / 0 for true / false
    std::string text;
    std::vector<Value> items;
    std::map<std::string, Value> members;

    bool has(const std::string& key) const { return members.count(key) != 0 && !members.at(key).isNull(); }
    bool isNull() const { return kind == Kind::Null; }
    const Value& operator[](const std::string& key) const {
        const auto it = members.find(key);
        if (it == members.end()) throw std::runtime_error("JSON: no member " + key);
        return it->second;
    }
    const Value& operator[](std::size_t i) const { return items.at(i); }
    std::size_t size() const { return items.size(); }
    int asInt() const { return static_cast<int>(number); }
};

class Parser {
  public:
    explicit Parser(const std::string& text) : s_(text) {}

    Value parse() {
        Value v = value();
        if (skip() != '\0') fail("text after the value");
        return v;
    }

  private:
    [[noreturn]] void fail(const char* what) const {
        throw std::runtime_error("JSON: " + std::string(what) + " at " + std::to_string(i_));
    }
    // Skips blanks; the next character, or '\0' at the end.
    char skip() {
        while (i_ < s_.size() && std::string(" \t\r\n").find(s_[i_]) != std::string::npos) ++i_;
        return i_ < s_.size() ? s_[i_] : '\0';
    }
    void expect(char c) {
        if (skip() != c) fail("unexpected character");
        ++i_;
    }
    bool literal(const std::string& word) {
        if (s_.compare(i_, word.size(), word) != 0) return false;
        i_ += word.size();
        return true;
    }

    Value value() {
        Value v;
        const char c = skip();
        if (c == '{' || c == '[') {
            ++i_;
            const char close = c == '{' ? '}' : ']';
            v.kind = c == '{' ? Value::Kind::Object : Value::Kind::Array;
            if (skip() == close) {
                ++i_;
                return v;
            }
            do {
                if (v.kind == Value::Kind::Object) {
                    skip();
                    std::string key = string();
                    expect(':');
                    v.members[key] = value();
                } else {
                    v.items.push_back(value());
                }
            } while (skip() == ',' && ++i_);
            expect(close);
        } else if (c == '"') {
            v.kind = Value::Kind::String;
            v.text = string();
        } else if (literal("true")) {
            v.kind = Value::Kind::Bool;
            v.number = 1;
        } else if (literal("false")) {
            v.kind = Value::Kind::Bool;
        } else if (!literal("null")) {
            char* end = nullptr;
            v.kind = Value::Kind::Number;
            v.number = std::strtod(s_.c_str() + i_, &end);
            if (end == s_.c_str() + i_) fail("not a value");
            i_ = static_cast<std::size_t>(end - s_.c_str());
        }
        return v;
    }

    std::string string() {
        if (s_[i_] != '"') fail("string expected");
        std::string out;
        for (++i_; i_ < s_.size() && s_[i_] != '"'; ++i_) {
            if (s_[i_] != '\\') {
                out += s_[i_];
                continue;
            }
            const char e = s_.at(++i_);
            if (e == 'u') {  // characters of the Basic Multilingual Plane, as UTF-8
                const unsigned cp = static_cast<unsigned>(std::stoul(s_.substr(i_ + 1, 4), nullptr, 16));
                i_ += 4;
                if (cp < 0x80) {
                    out += static_cast<char>(cp);
                } else if (cp < 0x800) {
                    out += static_cast<char>(0xC0 | (cp >> 6));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (cp >> 12));
                    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                }
            } else {
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            }
        }
        if (i_ >= s_.size()) fail("unterminated string");
        ++i_;
        return out;
    }

    const std::string& s_;
    std::size_t i_ = 0;
};

inline Value parse(const std::string& text) {
    return Parser(text).parse();
}

}  // namespace ephys::json
