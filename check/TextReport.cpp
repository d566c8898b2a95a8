// The plain-words report of one file.

#include "check/TextReport.h"

#include <cstdarg>
#include <cstdio>

#include "check/JsonWriter.h"

namespace quillet {

namespace {

std::string Line(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return std::string(text) + "\n";
}

std::string Ansi(Platform& platform, const std::u16string& text) {
    if (text.empty()) return {};
    std::string out(text.size() * 4 + 4, '\0');
    const int n = platform.WideToAnsi(text.data(), static_cast<int>(text.size()), out.data(),
                                      static_cast<int>(out.size()));
    if (n <= 0) return "?";
    out.resize(static_cast<std::size_t>(n));
    // Control characters from a file never reach the terminal as they are.
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    return out;
}

std::string Plural(std::int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string Where(Platform& platform, const CheckProblem& p) {
    std::string where = p.area;
    if (p.table >= 0) where += ", table " + std::to_string(p.table);
    if (p.hasListName) where += ", list \"" + Ansi(platform, p.listName) + "\"";
    if (p.entry >= 0) where += ", entry " + std::to_string(p.entry);
    if (p.chunk >= 0) where += ", chunk " + std::to_string(p.chunk);
    if (p.block >= 0) where += ", block " + std::to_string(p.block);
    if (p.byte >= 0) where += ", byte " + std::to_string(p.byte);
    return where;
}

std::string VersionName(int format) {
    return "format " + std::to_string(format) + " (Quillet Version " +
           QuilletVersionOf(static_cast<std::uint16_t>(format)) + ")";
}

}  // namespace

std::string ReportToText(Platform& platform, const FileReport& r) {
    std::string out = r.path + "\n";
    if (!r.opened) {
        out += Line("  Cannot be read: code %d. %s", static_cast<int>(r.openCode),
                    r.openMeaning.c_str());
    } else {
        const std::string version = r.formatVersion >= 3 && r.formatVersion <= 5
                                        ? "Quillet Version " + r.quilletVersion
                                        : "a version of Quillet " + r.quilletVersion;
        out += Line("  Format version %u (%s), container version %u", r.formatVersion,
                    version.c_str(), r.containerVersion);
        out += "  Size " + std::to_string(r.fileBytes) +
               Line(" bytes, FileBlocks %u, CommitCount %u", r.fileBlocks, r.commitCount);
        out += Line("  Application signature: %s",
                    r.signatureOk ? "Tallyset" : "not Tallyset (not a Quillet file)");
        out += "  Tables in use: " + std::to_string(r.tables.size()) + "\n";
        for (const TableInfo& t : r.tables) {
            std::string size = t.number == 1 ? Plural(t.blockCount, "entry", "entries")
                                             : Plural(t.blockCount, "block", "blocks");
            if (t.contentBytes >= 0 && t.number >= 2) {
                size += ", " + Plural(t.contentBytes, "byte", "bytes");
            }
            std::string role = t.role;
            if (t.hasListName) role += " \"" + Ansi(platform, t.listName) + "\"";
            out += Line("    table %3u  %-20s %-24s %s", t.number, t.kind.c_str(), size.c_str(),
                        role.c_str());
        }
        if (r.listsRead) {
            out += "  " + Plural(r.folders, "folder", "folders") + ", " +
                   Plural(r.lists, "list", "lists") + ", " + Plural(r.items, "item", "items") +
                   "\n";
        } else {
            out +=
                "  Folders, lists and items: not read (not a format whose lists this program "
                "knows)\n";
        }
        std::string space = Line("  Blocks: %u used, %u free, %u neither used nor free",
                                 r.usedBlocks, r.freeBlocks, r.leakedBlocks);
        out += space;
        if (r.reclaimableBlocks >= 0) {
            out += "  The compaction could give back " + std::to_string(r.reclaimableBlocks) +
                   " of the free blocks (" + std::to_string(r.reclaimableBlocks * 512) +
                   " bytes)\n";
        } else {
            out += "  The compaction could not be tried on this file\n";
        }
    }

    if (r.opened) {
        if (r.problems.empty() && r.problemsNotListed == 0) {
            out += "  Sound: no problem found\n";
        } else {
            const std::size_t count = r.problems.size() + r.problemsNotListed;
            out += "  Not sound: " + std::to_string(count) +
                   (count == 1 ? " problem found\n" : " problems found\n");
            for (const CheckProblem& p : r.problems) {
                out += "    - " + Where(platform, p) + ": " + p.text;
                if (p.stopsConversion) out += " (the converter refuses the file for this)";
                out += "\n";
                if (p.code != 0) {
                    out += Line("      code %d: %s", static_cast<int>(p.code),
                                MeaningOfCode(p.code).c_str());
                }
            }
            if (r.problemsNotListed > 0) {
                out += Line("    ... and %u more not listed", r.problemsNotListed);
            }
        }
    }

    const ConvertForecast& f = r.forecast;
    switch (f.action) {
        case ConvertAction::kNotOffered:
            out += "  Would convert: no; the converter says: \"" + f.message + "\"\n";
            break;
        case ConvertAction::kInPlace:
        case ConvertAction::kThroughTemporaryFile:
            out += "  Would convert: yes, from " + VersionName(f.fromVersion) + " to " +
                   VersionName(f.toVersion) +
                   (f.action == ConvertAction::kInPlace
                        ? ", in place after a backup copy"
                        : ", through a temporary file that then takes the file's place") +
                   "\n";
            out += "    The converter asks: \"" + f.message + "\"\n";
            if (f.dryRun) {
                out += "    A dry run on a copy in memory succeeded; the converted file would be " +
                       std::to_string(f.convertedBytes) + " bytes\n";
            }
            break;
        case ConvertAction::kError:
            out += "  Would convert: no; the converter would show \"" + f.message + "\"";
            if (!f.step.empty()) out += " while " + f.step;
            out += "\n";
            if (f.route != ConvertAction::kNotOffered) {
                out += std::string("    (the conversion would have gone ") + ActionName(f.route) +
                       (f.dryRun ? "; found by a dry run on a copy in memory" : "") + ")\n";
            }
            out += Line("    code %d: %s", static_cast<int>(f.code), f.meaning.c_str());
            break;
    }
    return out;
}

}  // namespace quillet
