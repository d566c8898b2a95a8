#pragma once
// A small JSON reader for the tests of quillet-check's --json output: enough
// of the grammar to read back what the program writes (objects, arrays,
// strings with escapes, integers, true, false, null). A text that is not JSON
// reads as a value with `ok` false.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace quillet::testing {

struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
    bool boolean = false;
    std::int64_t number = 0;
    std::u16string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    bool Has(const std::string& key) const { return members.count(key) != 0; }
    const JsonValue& operator[](const std::string& key) const {
        static const JsonValue missing;
        const auto it = members.find(key);
        return it == members.end() ? missing : it->second;
    }
    // The text as ASCII ('?' for other units), for comparisons in tests.
    std::string Ascii() const {
        std::string out;
        for (char16_t u : text) out += u < 0x80 ? static_cast<char>(u) : '?';
        return out;
    }
};

class JsonReader {
  public:
    explicit JsonReader(const std::string& text) : s_(text) {}

    // Reads the whole text as one value; *ok is false for anything else.
    JsonValue Read(bool* ok) {
        JsonValue v = Value();
        Space();
        *ok = ok_ && i_ == s_.size();
        return v;
    }

  private:
    void Space() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t'))
            ++i_;
    }
    bool Eat(char c) {
        Space();
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }
    bool Word(const char* w) {
        const std::string word(w);
        if (s_.compare(i_, word.size(), word) != 0) return false;
        i_ += word.size();
        return true;
    }
    std::u16string StringBody() {
        std::u16string out;
        while (i_ < s_.size() && s_[i_] != '"') {
            const unsigned char c = static_cast<unsigned char>(s_[i_++]);
            if (c < 0x20 || c >= 0x80) {
                ok_ = false;  // the writer escapes everything outside printable ASCII
                return out;
            }
            if (c != '\\') {
                out += static_cast<char16_t>(c);
                continue;
            }
            if (i_ >= s_.size()) break;
            const char e = s_[i_++];
            switch (e) {
                case '"':
                    out += u'"';
                    break;
                case '\\':
                    out += u'\\';
                    break;
                case '/':
                    out += u'/';
                    break;
                case 'n':
                    out += u'\n';
                    break;
                case 'r':
                    out += u'\r';
                    break;
                case 't':
                    out += u'\t';
                    break;
                case 'b':
                    out += u'\b';
                    break;
                case 'f':
                    out += u'\f';
                    break;
                case 'u': {
                    if (i_ + 4 > s_.size()) {
                        ok_ = false;
                        return out;
                    }
                    out += static_cast<char16_t>(std::stoul(s_.substr(i_, 4), nullptr, 16));
                    i_ += 4;
                    break;
                }
                default:
                    ok_ = false;
                    return out;
            }
        }
        if (!Eat('"')) ok_ = false;
        return out;
    }
    JsonValue Value() {
        JsonValue v;
        Space();
        if (i_ >= s_.size() || depth_ > 64) {
            ok_ = false;
            return v;
        }
        const char c = s_[i_];
        if (c == '{') {
            ++i_;
            ++depth_;
            v.kind = JsonValue::Kind::kObject;
            if (!Eat('}')) {
                do {
                    if (!Eat('"')) {
                        ok_ = false;
                        break;
                    }
                    std::string key;
                    for (char16_t u : StringBody()) key += static_cast<char>(u);
                    if (!Eat(':')) ok_ = false;
                    if (v.members.count(key)) ok_ = false;  // no key twice
                    v.members[key] = Value();
                } while (ok_ && Eat(','));
                if (!Eat('}')) ok_ = false;
            }
            --depth_;
        } else if (c == '[') {
            ++i_;
            ++depth_;
            v.kind = JsonValue::Kind::kArray;
            if (!Eat(']')) {
                do v.items.push_back(Value());
                while (ok_ && Eat(','));
                if (!Eat(']')) ok_ = false;
            }
            --depth_;
        } else if (c == '"') {
            ++i_;
            v.kind = JsonValue::Kind::kString;
            v.text = StringBody();
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t used = 0;
            v.kind = JsonValue::Kind::kNumber;
            v.number = std::stoll(s_.substr(i_, 24), &used);
            i_ += used;
        } else if (Word("true")) {
            v.kind = JsonValue::Kind::kBool;
            v.boolean = true;
        } else if (Word("false")) {
            v.kind = JsonValue::Kind::kBool;
        } else if (!Word("null")) {
            ok_ = false;
        }
        return v;
    }

    const std::string& s_;
    std::size_t i_ = 0;
    int depth_ = 0;
    bool ok_ = true;
};

}  // namespace quillet::testing
