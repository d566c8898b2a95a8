// The JSON writer and the JSON form of a file report.

#include "check/JsonWriter.h"

#include <cstdio>

namespace quillet {

void JsonWriter::BeforeValue() {
    if (afterKey_) {
        afterKey_ = false;
        return;
    }
    if (!filled_.empty()) {
        if (filled_.back()) out_ += ',';
        filled_.back() = true;
    }
}

void JsonWriter::BeginObject() {
    BeforeValue();
    out_ += '{';
    filled_.push_back(false);
}

void JsonWriter::EndObject() {
    out_ += '}';
    filled_.pop_back();
}

void JsonWriter::BeginArray() {
    BeforeValue();
    out_ += '[';
    filled_.push_back(false);
}

void JsonWriter::EndArray() {
    out_ += ']';
    filled_.pop_back();
}

void JsonWriter::Key(const char* key) {
    BeforeValue();
    Quoted(key);
    out_ += ':';
    afterKey_ = true;
}

void JsonWriter::Unit(char16_t unit) {
    switch (unit) {
        case u'"':
            out_ += "\\\"";
            return;
        case u'\\':
            out_ += "\\\\";
            return;
        case u'\n':
            out_ += "\\n";
            return;
        case u'\r':
            out_ += "\\r";
            return;
        case u'\t':
            out_ += "\\t";
            return;
        default:
            break;
    }
    if (unit < 0x20 || unit > 0x7E) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(unit));
        out_ += escape;
    } else {
        out_ += static_cast<char>(unit);
    }
}

void JsonWriter::Quoted(const std::string& text) {
    out_ += '"';
    for (unsigned char c : text) Unit(static_cast<char16_t>(c));
    out_ += '"';
}

void JsonWriter::String(const std::string& text) {
    BeforeValue();
    Quoted(text);
}

void JsonWriter::String(const std::u16string& text) {
    BeforeValue();
    out_ += '"';
    for (char16_t unit : text) Unit(unit);
    out_ += '"';
}

void JsonWriter::Number(std::int64_t value) {
    BeforeValue();
    out_ += std::to_string(value);
}

void JsonWriter::Bool(bool value) {
    BeforeValue();
    out_ += value ? "true" : "false";
}

void JsonWriter::Null() {
    BeforeValue();
    out_ += "null";
}

const char* ActionName(ConvertAction action) {
    switch (action) {
        case ConvertAction::kNotOffered:
            return "not offered";
        case ConvertAction::kInPlace:
            return "in place";
        case ConvertAction::kThroughTemporaryFile:
            return "through a temporary file";
        case ConvertAction::kError:
            return "error";
    }
    return "?";
}

namespace {

std::u16string PathText(Platform& platform, const std::string& path) {
    if (path.empty()) return {};
    std::u16string wide(path.size() + 1, u'\0');
    const int n = platform.AnsiToWide(path.c_str(), static_cast<int>(path.size()), wide.data(),
                                      static_cast<int>(wide.size()));
    if (n <= 0) {
        // Bytes the code page does not take are given one unit each.
        std::u16string raw;
        for (unsigned char c : path) raw.push_back(static_cast<char16_t>(c));
        return raw;
    }
    wide.resize(static_cast<std::size_t>(n));
    return wide;
}

// A number, or null for a value that does not apply (-1).
void OptionalNumber(JsonWriter& w, const char* key, std::int64_t value) {
    w.Key(key);
    if (value < 0) {
        w.Null();
    } else {
        w.Number(value);
    }
}

void WriteProblem(JsonWriter& w, const CheckProblem& p) {
    w.BeginObject();
    w.Key("area");
    w.String(p.area);
    w.Key("text");
    w.String(p.text);
    w.Key("code");
    w.Number(p.code);
    w.Key("meaning");
    if (p.code != 0) {
        w.String(MeaningOfCode(p.code));
    } else {
        w.Null();
    }
    w.Key("stopsConversion");
    w.Bool(p.stopsConversion);
    OptionalNumber(w, "table", p.table);
    w.Key("list");
    if (p.hasListName) {
        w.String(p.listName);
    } else {
        w.Null();
    }
    OptionalNumber(w, "entry", p.entry);
    OptionalNumber(w, "chunk", p.chunk);
    OptionalNumber(w, "record", p.record);
    OptionalNumber(w, "block", p.block);
    OptionalNumber(w, "byte", p.byte);
    w.EndObject();
}

void WriteReport(JsonWriter& w, Platform& platform, const FileReport& r) {
    w.BeginObject();
    w.Key("path");
    w.String(PathText(platform, r.path));
    w.Key("exitCode");
    w.Number(r.ExitCode());
    w.Key("readable");
    w.Bool(r.opened);
    if (!r.opened) {
        w.Key("openCode");
        w.Number(r.openCode);
        w.Key("openMeaning");
        w.String(r.openMeaning);
    } else {
        w.Key("fileBytes");
        w.Number(static_cast<std::int64_t>(r.fileBytes));
        w.Key("containerVersion");
        w.Number(r.containerVersion);
        w.Key("fileBlocks");
        w.Number(r.fileBlocks);
        w.Key("commitCount");
        w.Number(r.commitCount);
        w.Key("signatureOk");
        w.Bool(r.signatureOk);
        w.Key("formatVersion");
        w.Number(r.formatVersion);
        w.Key("quilletVersion");
        w.String(r.quilletVersion);
        w.Key("appHeaderLength");
        w.Number(r.appHeaderLength);
        w.Key("listIndexTable");
        w.Number(r.listIndexTable);
        if (r.formatVersion == 3) {
            w.Key("folderTable");
            w.Number(r.folderTable);
            w.Key("columnTable");
            w.Number(r.columnTable);
        }
        w.Key("listsRead");
        w.Bool(r.listsRead);
        w.Key("folders");
        w.Number(r.folders);
        w.Key("lists");
        w.Number(r.lists);
        w.Key("items");
        w.Number(r.items);
        w.Key("usedBlocks");
        w.Number(r.usedBlocks);
        w.Key("freeBlocks");
        w.Number(r.freeBlocks);
        w.Key("leakedBlocks");
        w.Number(r.leakedBlocks);
        OptionalNumber(w, "reclaimableBlocks", r.reclaimableBlocks);
        w.Key("tables");
        w.BeginArray();
        for (const TableInfo& t : r.tables) {
            w.BeginObject();
            w.Key("number");
            w.Number(t.number);
            w.Key("type");
            w.Number(t.type);
            w.Key("subtype");
            w.Number(t.subtype);
            w.Key("kind");
            w.String(t.kind);
            w.Key("role");
            w.String(t.role);
            w.Key("list");
            if (t.hasListName) {
                w.String(t.listName);
            } else {
                w.Null();
            }
            w.Key("blockCount");
            w.Number(t.blockCount);
            OptionalNumber(w, "contentBytes", t.contentBytes);
            w.EndObject();
        }
        w.EndArray();
    }
    w.Key("sound");
    w.Bool(r.ExitCode() == 0);
    w.Key("problems");
    w.BeginArray();
    for (const CheckProblem& p : r.problems) WriteProblem(w, p);
    w.EndArray();
    w.Key("problemsNotListed");
    w.Number(r.problemsNotListed);

    const ConvertForecast& f = r.forecast;
    w.Key("conversion");
    w.BeginObject();
    w.Key("action");
    w.String(std::string(ActionName(f.action)));
    w.Key("route");
    w.String(std::string(ActionName(f.route)));
    OptionalNumber(w, "fromVersion", f.fromVersion);
    OptionalNumber(w, "toVersion", f.toVersion);
    w.Key("message");
    w.String(f.message);
    w.Key("code");
    w.Number(f.code);
    w.Key("meaning");
    if (f.action == ConvertAction::kError) {
        w.String(f.meaning);
    } else {
        w.Null();
    }
    w.Key("step");
    w.String(f.step);
    w.Key("dryRun");
    w.Bool(f.dryRun);
    w.Key("convertedBytes");
    w.Number(static_cast<std::int64_t>(f.convertedBytes));
    w.EndObject();
    w.EndObject();
}

}  // namespace

std::string ReportsToJson(Platform& platform, const std::vector<FileReport>& reports) {
    JsonWriter w;
    w.BeginObject();
    w.Key("files");
    w.BeginArray();
    for (const FileReport& r : reports) WriteReport(w, platform, r);
    w.EndArray();
    w.EndObject();
    return w.text() + "\n";
}

}  // namespace quillet
