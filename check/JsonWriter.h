#pragma once
// A small JSON writer: objects, arrays, strings and numbers appended to one
// text, with commas and escapes handled. Text from files is written as UTF-16
// escapes, so the output is plain ASCII whatever bytes a file holds.

#include <cstdint>
#include <string>
#include <vector>

#include "check/FileReport.h"

namespace quillet {

class JsonWriter {
  public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    // The key of the next value inside an object.
    void Key(const char* key);
    void String(const std::string& text);     // bytes below 0x80 as they are, others as \u00XX
    void String(const std::u16string& text);  // every unit above 0x7E as \uXXXX
    void Number(std::int64_t value);
    void Bool(bool value);
    void Null();

    const std::string& text() const { return out_; }

  private:
    void BeforeValue();
    void Unit(char16_t unit);
    void Quoted(const std::string& text);

    std::string out_;
    // Per open container: whether a value was written in it already.
    std::vector<bool> filled_;
    bool afterKey_ = false;
};

// All reports as one JSON document: {"files": [ ... ]}. `platform` converts
// paths from the system's code page to UTF-16.
std::string ReportsToJson(Platform& platform, const std::vector<FileReport>& reports);

// The name of an action as the JSON output and the text report give it.
const char* ActionName(ConvertAction action);

}  // namespace quillet
