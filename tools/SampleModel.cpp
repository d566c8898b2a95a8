// Generation of a sample's content from its seed and knobs, and its projection
// to the layouts of formats 5, 4 and 3.

#include <algorithm>
#include <cstdio>
#include <set>

#include "tools/SampleBuilder.h"

namespace quillet {

const std::uint8_t kSampleSignature[16] = {0x54, 0, 0x61, 0, 0x6C, 0, 0x6C, 0,
                                           0x79, 0, 0x73, 0, 0x65, 0, 0x74, 0};

// ---------------------------------------------------------------------------
// Random numbers

std::uint64_t SampleRandom::Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::int64_t SampleRandom::Range(std::int64_t lo, std::int64_t hi) {
    if (hi <= lo) return lo;
    const std::uint64_t span = static_cast<std::uint64_t>(hi - lo) + 1;
    return lo + static_cast<std::int64_t>(Next() % span);
}

// ---------------------------------------------------------------------------
// Record images

namespace {

bool OrderedBefore(std::uint16_t a, std::uint16_t b) {
    const unsigned na = a & 0x0FFFu, nb = b & 0x0FFFu;
    return na < nb || (na == nb && (a & 0xF000u) < (b & 0xF000u));
}

}  // namespace

void ImageBuilder::Put(std::uint16_t tag, std::vector<std::uint16_t> values) {
    for (Field& f : fields_) {
        if (f.tag == tag) {
            f.values = std::move(values);
            return;
        }
    }
    auto at = std::find_if(fields_.begin(), fields_.end(),
                           [tag](const Field& f) { return OrderedBefore(tag, f.tag); });
    fields_.insert(at, Field{tag, std::move(values)});
}

void ImageBuilder::Short(std::uint16_t tag, std::uint16_t value) {
    Put(tag, {value});
}

void ImageBuilder::Long(std::uint16_t tag, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    Put(tag, {static_cast<std::uint16_t>(v), static_cast<std::uint16_t>(v >> 16)});
}

void ImageBuilder::Time(std::uint16_t tag, std::uint64_t t) {
    Put(tag, {static_cast<std::uint16_t>(t), static_cast<std::uint16_t>(t >> 16),
              static_cast<std::uint16_t>(t >> 32), static_cast<std::uint16_t>(t >> 48)});
}

void ImageBuilder::String(std::uint16_t tag, const std::u16string& text) {
    std::vector<std::uint16_t> v(text.begin(), text.end());
    v.push_back(0);
    Put(tag, std::move(v));
}

void ImageBuilder::Blob(std::uint16_t tag, const std::vector<std::uint16_t>& data) {
    std::vector<std::uint16_t> v;
    v.reserve(data.size() + 1);
    v.push_back(static_cast<std::uint16_t>(data.size() + 1));
    v.insert(v.end(), data.begin(), data.end());
    Put(tag, std::move(v));
}

void ImageBuilder::Remove(std::uint16_t tag) {
    fields_.erase(std::remove_if(fields_.begin(), fields_.end(),
                                 [tag](const Field& f) { return f.tag == tag; }),
                  fields_.end());
}

bool ImageBuilder::Has(std::uint16_t tag) const {
    return std::any_of(fields_.begin(), fields_.end(),
                       [tag](const Field& f) { return f.tag == tag; });
}

WordImage ImageBuilder::Image() const {
    WordImage image(1, 0);
    for (const Field& f : fields_) {
        image.push_back(f.tag);
        image.insert(image.end(), f.values.begin(), f.values.end());
    }
    image[0] = static_cast<std::uint16_t>(image.size());
    return image;
}

std::uint64_t HashWords(std::uint64_t hash, const WordImage& image) {
    for (std::uint16_t w : image) {
        hash = (hash ^ (w & 0xFFu)) * 1099511628211ull;
        hash = (hash ^ (w >> 8)) * 1099511628211ull;
    }
    return hash;
}

bool ParseImage(const WordImage& image, ImageBuilder* out) {
    *out = ImageBuilder();
    if (image.empty() || image[0] != image.size()) return false;
    std::size_t i = 1;
    while (i < image.size()) {
        const std::uint16_t tag = image[i];
        std::size_t n = 0;
        switch (tag >> 12) {
            case 0:
            case 1:
                n = 1;
                break;
            case 4:
                n = 2;
                break;
            case 6:
                n = 4;
                break;
            case 8: {
                std::size_t j = i + 1;
                while (j < image.size() && image[j] != 0) ++j;
                if (j >= image.size()) return false;
                n = j - i;
                break;
            }
            case 12:
                if (i + 1 >= image.size() || image[i + 1] == 0) return false;
                n = image[i + 1];
                break;
            default:
                return false;
        }
        if (tag == 0 || i + 1 + n > image.size()) return false;
        out->AppendRaw(tag,
                       std::vector<std::uint16_t>(image.begin() + static_cast<long>(i + 1),
                                                  image.begin() + static_cast<long>(i + 1 + n)));
        i += 1 + n;
    }
    return true;
}

std::string DescribeImage(const WordImage& image) {
    std::string s;
    char buf[16];
    for (std::size_t i = 0; i < image.size() && i < 64; ++i) {
        std::snprintf(buf, sizeof buf, "%s%04x", i ? " " : "", image[i]);
        s += buf;
    }
    if (image.size() > 64) s += " ...";
    return s;
}

// ---------------------------------------------------------------------------
// Content generation

namespace {

// Field tags of the application's records.
namespace tag {
// List index entries (formats 4, 5).
constexpr std::uint16_t kEntryName = 0x8001;
constexpr std::uint16_t kEntryFlags = 0x1003;
constexpr std::uint16_t kEntryLevel = 0x0009;
constexpr std::uint16_t kEntryTable = 0x0029;
constexpr std::uint16_t kEntryId = 0x002A;
// Header record.
constexpr std::uint16_t kNextItem = 0x4004;
constexpr std::uint16_t kListName = 0x8005;
constexpr std::uint16_t kSortColumn = 0x0006;
constexpr std::uint16_t kCreated = 0x6007;
constexpr std::uint16_t kViewFlags = 0x000B;
constexpr std::uint16_t kDescription = 0x8010;
constexpr std::uint16_t kSyncStamp = 0x4028;  // format 5 only
constexpr std::uint16_t kTheme = 0xC029;      // format 5 only
constexpr std::uint16_t kSharedBy = 0x802A;   // format 5 only
// Format 3 list and folder records.
constexpr std::uint16_t kId = 0x0001;
constexpr std::uint16_t kTable = 0x0002;
constexpr std::uint16_t kParent = 0x0023;
constexpr std::uint16_t kFolderName = 0x8003;
// Column definitions.
constexpr std::uint16_t kColumnId = 0x0001;
constexpr std::uint16_t kColumnName = 0x8002;
constexpr std::uint16_t kColumnList = 0x0003;
constexpr std::uint16_t kColumnType = 0x0004;
constexpr std::uint16_t kColumnWidth = 0x0008;
constexpr std::uint16_t kColumnFlags = 0x0009;
constexpr std::uint16_t kColumnPosition = 0x000A;
// Views (chunk 3), filters (chunk 4).
constexpr std::uint16_t kViewId = 0x0001;
constexpr std::uint16_t kViewName = 0x8002;
constexpr std::uint16_t kViewMode = 0x1003;
constexpr std::uint16_t kFilterColumn = 0x0001;
constexpr std::uint16_t kFilterText = 0x8002;
constexpr std::uint16_t kFilterValue = 0x4003;
// Items.
constexpr std::uint16_t kItemId = 0x0001;
constexpr std::uint16_t kItemModified = 0x6002;
constexpr std::uint16_t kAttachment = 0xC100;
}  // namespace tag

constexpr int kColumnTypes = 12;
constexpr int kFirstItemField = 16;

// Tables the builder creates in a new file get the lowest free numbers in this
// order; the index (or the three format 3 lists) come first.
constexpr std::uint16_t kFirstTable = 2;
constexpr std::int64_t kArchiveTableBytes = 5632 * 512;

const char16_t* const kWords[] = {
    u"Garden",   u"Bücher", u"Рецепты",  u"Projects", u"日記",     u"Inventar", u"Música",
    u"Travel",   u"Ωμέγα",  u"Contacts", u"Øvelser",  u"Café",     u"Tâches",   u"Zürich",
    u"Invoices", u"Łódź",   u"Family",   u"Ideas",    u"Čeština",  u"Wines",    u"Fotos",
    u"Ξένια",    u"Tools",  u"Привет",   u"Señales",  u"Kalender", u"Œuvres",   u"Maps",
    u"Ärzte",    u"番号",   u"Tickets",  u"Notes",    u"Ğüneş",    u"Birds",    u"Straße",
};
constexpr int kWordCount = static_cast<int>(sizeof(kWords) / sizeof(kWords[0]));

const char16_t* const kCategories[] = {u"Home", u"Work", u"Éte", u"Urgent ✓", u"Later", u"Другое"};

std::u16string Words(SampleRandom& r, int lo, int hi) {
    std::u16string s;
    const int n = static_cast<int>(r.Range(lo, hi));
    for (int i = 0; i < n; ++i) {
        if (i) s += u' ';
        s += kWords[r.Range(0, kWordCount - 1)];
    }
    return s;
}

// Longer text with non-ASCII letters, digits and now and then a character
// outside the basic plane (a surrogate pair).
std::u16string Notes(SampleRandom& r, int lo, int hi) {
    std::u16string s = Words(r, lo, hi);
    if (r.Chance(30)) s += u" \U0001F600";
    if (r.Chance(40)) s += u" №" + std::u16string(1, static_cast<char16_t>(u'0' + r.Range(0, 9)));
    return s;
}

std::uint64_t SampleTime(SampleRandom& r) {
    // Between 1995 and 2030, in 100 ns units since 1601, to the second.
    const std::uint64_t from = 12456000000ull, to = 13560000000ull;  // seconds since 1601
    return static_cast<std::uint64_t>(
               r.Range(static_cast<std::int64_t>(from), static_cast<std::int64_t>(to))) *
           10000000ull;
}

std::vector<std::uint16_t> BlobWords(SampleRandom& r, int lo, int hi) {
    std::vector<std::uint16_t> v(static_cast<std::size_t>(r.Range(lo, hi)));
    for (auto& w : v) w = static_cast<std::uint16_t>(r.Next());
    return v;
}

std::uint64_t Mix(std::uint64_t a, std::uint64_t b) {
    SampleRandom r(a * 0x100000001B3ull ^ (b + 0x632BE59BD9B4E019ull));
    return r.Next();
}

// One item: its id, a modification time and a value for most columns.
WordImage MakeItem(SampleRandom& r, int itemId, const std::vector<std::uint16_t>& columnTypes,
                   std::int16_t listId) {
    ImageBuilder b;
    b.Short(tag::kItemId, static_cast<std::uint16_t>(itemId));
    b.Time(tag::kItemModified, SampleTime(r));
    for (std::size_t c = 0; c < columnTypes.size(); ++c) {
        if (!r.Chance(85)) continue;
        const unsigned number = kFirstItemField + static_cast<unsigned>(c) + 1;
        switch (columnTypes[c]) {
            case 0:
                b.String(static_cast<std::uint16_t>(0x8000 | number), Words(r, 1, 3));
                break;
            case 1:
                b.String(static_cast<std::uint16_t>(0x8000 | number), kCategories[r.Range(0, 5)]);
                break;
            case 2:
                b.String(static_cast<std::uint16_t>(0x8000 | number), Notes(r, 3, 24));
                break;
            case 3:
                b.Short(static_cast<std::uint16_t>(number),
                        static_cast<std::uint16_t>(r.Range(-30000, 30000)));
                break;
            case 4:
            case 5:
                b.Long(static_cast<std::uint16_t>(0x4000 | number),
                       static_cast<std::int32_t>(r.Range(-2000000000, 2000000000)));
                break;
            case 6:
            case 7:
                b.Short(static_cast<std::uint16_t>(number),
                        static_cast<std::uint16_t>(r.Range(0, 1)));
                break;
            case 8:
            case 9:
                b.Time(static_cast<std::uint16_t>(0x6000 | number), SampleTime(r));
                break;
            case 10:
                b.Short(static_cast<std::uint16_t>(number),
                        static_cast<std::uint16_t>(r.Range(0, 2)));
                break;
            default: {  // linked: list identifier, item number, then a few words
                std::vector<std::uint16_t> link = {static_cast<std::uint16_t>(listId),
                                                   static_cast<std::uint16_t>(r.Range(1, 999))};
                if (r.Chance(50)) link.push_back(static_cast<std::uint16_t>(r.Next()));
                b.Blob(static_cast<std::uint16_t>(0xC000 | number), link);
                break;
            }
        }
    }
    if (r.Chance(8)) b.Blob(tag::kAttachment, BlobWords(r, 8, 60));
    return b.Image();
}

struct ListContent {
    ImageBuilder header;                     // format 5 header record
    std::vector<ImageBuilder> columns;       // format 4/5 column definitions, stored order
    std::vector<std::uint16_t> columnTypes;  // by column id - 1
    std::vector<WordImage> chunk3;
    std::vector<WordImage> chunk4;  // format 5: the first one is dropped by the step to 4
};

ListContent MakeList(const SampleOptions& o, int listIndex, const std::u16string& name,
                     int itemCount) {
    SampleRandom r(Mix(o.seed, 0x1000 + static_cast<std::uint64_t>(listIndex)));
    ListContent l;
    const int offset = static_cast<int>(r.Range(0, kColumnTypes - 1));
    for (int c = 0; c < o.columns; ++c)
        l.columnTypes.push_back(static_cast<std::uint16_t>((c + offset) % kColumnTypes));

    ImageBuilder& h = l.header;
    h.Long(tag::kNextItem, itemCount + 1);
    h.String(tag::kListName, name);
    h.Short(tag::kSortColumn, static_cast<std::uint16_t>(r.Range(1, o.columns)));
    h.Time(tag::kCreated, SampleTime(r));
    h.Short(tag::kViewFlags, static_cast<std::uint16_t>(r.Range(0, 0x7FFF)));
    if (r.Chance(70)) h.String(tag::kDescription, Notes(r, 2, 12));
    h.Long(tag::kSyncStamp, static_cast<std::int32_t>(r.Range(1, 0x7FFFFFFF)));
    h.Blob(tag::kTheme, BlobWords(r, 6, 40));
    h.String(tag::kSharedBy, Words(r, 1, 2));

    // Column definitions, stored in a shuffled order of their identifiers.
    std::vector<int> order(static_cast<std::size_t>(o.columns));
    for (int c = 0; c < o.columns; ++c) order[static_cast<std::size_t>(c)] = c;
    for (std::size_t i = order.size(); i > 1; --i)
        std::swap(order[i - 1],
                  order[static_cast<std::size_t>(r.Range(0, static_cast<std::int64_t>(i) - 1))]);
    for (int c : order) {
        ImageBuilder col;
        col.Short(tag::kColumnId, static_cast<std::uint16_t>(c + 1));
        col.String(tag::kColumnName, Words(r, 1, 2));
        col.Short(tag::kColumnType, l.columnTypes[static_cast<std::size_t>(c)]);
        col.Short(tag::kColumnWidth, static_cast<std::uint16_t>(r.Range(40, 400)));
        col.Short(tag::kColumnFlags, static_cast<std::uint16_t>(r.Range(0, 15)));
        col.Short(tag::kColumnPosition, static_cast<std::uint16_t>(c));
        l.columns.push_back(col);
    }

    const int views = static_cast<int>(r.Range(1, 2));
    for (int v = 0; v < views; ++v) {
        ImageBuilder b;
        b.Short(tag::kViewId, static_cast<std::uint16_t>(v + 1));
        b.String(tag::kViewName, v == 0 ? std::u16string(u"Vue générale") : Words(r, 1, 2));
        b.Short(tag::kViewMode, static_cast<std::uint16_t>(r.Range(0, 3)));  // bit 2 never set
        l.chunk3.push_back(b.Image());
    }
    {
        ImageBuilder b;  // the format 5 synchronisation record, first in chunk 4
        b.Long(0x4001, static_cast<std::int32_t>(r.Range(1, 0x7FFFFFFF)));
        b.String(tag::kFilterText, u"sync ↻ " + Words(r, 1, 1));
        l.chunk4.push_back(b.Image());
    }
    const int filters = static_cast<int>(r.Range(0, 2));
    for (int f = 0; f < filters; ++f) {
        ImageBuilder b;
        b.Short(tag::kFilterColumn, static_cast<std::uint16_t>(r.Range(1, o.columns)));
        b.String(tag::kFilterText, Words(r, 1, 2));
        b.Long(tag::kFilterValue, static_cast<std::int32_t>(r.Range(-1000, 1000)));
        l.chunk4.push_back(b.Image());
    }
    return l;
}

std::uint16_t MapColumnType(std::uint16_t t) {
    if (t == 10) return 4;
    if (t == 11) return 0;
    return t;
}

bool CheckOptions(const SampleOptions& o, std::string* problem) {
    auto bad = [problem](const char* what) {
        if (problem) *problem = what;
        return false;
    };
    if (o.format < 3 || o.format > 5) return bad("format must be 3, 4 or 5");
    if (o.lists < 0 || o.lists > 150) return bad("lists must be 0..150");
    if (o.items < 0 || o.items > 20000) return bad("items must be 0..20000");
    if (o.depth < 1 || o.depth > 16) return bad("depth must be 1..16");
    if (o.folders < -1 || o.folders > 150) return bad("folders must be 0..150");
    if (o.columns < 1 || o.columns > 40) return bad("columns must be 1..40");
    if (o.archiveBytes < 0 || o.archiveBytes > 16ll * 1024 * 1024)
        return bad("archive bytes must be 0..16 MiB");
    return true;
}

}  // namespace

bool ProjectSample(const SampleOptions& o, int format, SampleSummary* out, std::string* problem,
                   int writtenAs) {
    if (writtenAs == 0) writtenAs = format;
    if (!CheckOptions(o, problem)) return false;
    if (format < 3 || format > 5 || writtenAs < format || writtenAs > 5) {
        if (problem) *problem = "format must be 3, 4 or 5";
        return false;
    }
    SampleSummary s;
    s.options = o;
    s.format = format;

    // Application area: the AppHeader, then filler that every step carries.
    SampleRandom fill(Mix(o.seed, 0xA77));
    for (auto& b : s.appArea) b = static_cast<std::uint8_t>(fill.Range(1, 255));
    for (std::size_t i = 0; i < 6; ++i) s.appArea[i] = 0;
    for (std::size_t i = 8; i < 12; ++i) s.appArea[i] = 0;
    s.appArea[0] = 64;
    s.appArea[2] = static_cast<std::uint8_t>(format);

    // The outline.
    SampleRandom r(Mix(o.seed, 0x0D7));
    const int lists = o.lists;
    const int folders = o.folders >= 0 ? o.folders : std::max(lists / 2, o.depth - 1);
    const int total = lists + folders;
    std::set<int> used;
    std::vector<std::int16_t> ids;
    while (static_cast<int>(ids.size()) < total) {
        const int v = static_cast<int>(r.Range(1, 30000));
        if (used.insert(v).second) ids.push_back(static_cast<std::int16_t>(v));
    }
    std::int16_t parents[17] = {};
    int maxNext = 0, foldersLeft = folders, listsLeft = lists, folderSeen = 0;
    std::vector<ListContent> contents;
    std::vector<int> itemCounts;
    for (int e = 0; e < total; ++e) {
        SampleEntry entry;
        entry.identifier = ids[static_cast<std::size_t>(e)];
        // Folders come a little early, so that the outline reaches its depth.
        const bool folder = foldersLeft > 0 &&
                            (listsLeft == 0 || r.Range(1, foldersLeft + listsLeft) <= foldersLeft ||
                             (maxNext < o.depth - 1 && r.Chance(35)));
        entry.isList = !folder;
        const int top = std::min(maxNext, o.depth - 1);
        entry.level = static_cast<std::int16_t>(r.Chance(60) ? top : r.Range(0, top));
        entry.parent = parents[entry.level];
        ImageBuilder b;
        b.Short(tag::kEntryLevel, static_cast<std::uint16_t>(entry.level));
        b.Short(tag::kEntryId, static_cast<std::uint16_t>(entry.identifier));
        b.Short(tag::kEntryFlags, static_cast<std::uint16_t>(r.Range(0, 3)));
        if (entry.isList) {
            --listsLeft;
            entry.list = static_cast<int>(s.lists.size());
            entry.name = Words(r, 1, 3);
            b.String(tag::kEntryName, entry.name);
            maxNext = entry.level;
            const int n =
                o.items == 0 ? 0 : static_cast<int>(r.Range(o.items / 2, o.items + o.items / 2));
            itemCounts.push_back(n);
            SampleList list;
            list.identifier = entry.identifier;
            list.itemCount = n;
            s.lists.push_back(list);
            contents.push_back(MakeList(o, entry.list, entry.name, n));
        } else {
            --foldersLeft;
            ++folderSeen;
            // The third folder has no name; the second names table 0 explicitly.
            if (folderSeen != 3) {
                entry.name = Words(r, 1, 2);
                b.String(tag::kEntryName, entry.name);
            }
            if (folderSeen == 2) b.Short(tag::kEntryTable, 0);
            parents[entry.level + 1] = entry.identifier;
            maxNext = entry.level + 1;
        }
        entry.image = b.Image();
        s.entries.push_back(entry);
    }

    // Table numbers in the order the builder creates its tables.
    std::uint16_t next = kFirstTable;
    const std::uint16_t writtenIndex = next;
    if (writtenAs >= 4) {
        s.listIndexTable = next++;
    } else {
        s.listIndexTable = next++;
        s.folderTable = next++;
        s.columnTable = next++;
    }
    for (std::size_t i = 0; i < s.lists.size(); ++i) {
        s.lists[i].table = next++;
        if (i == 0 && o.tableGap && s.lists.size() >= 2) s.gapTable = next++;
    }
    std::int64_t archiveLeft = o.archiveBytes;
    while (archiveLeft > 0) {
        SampleArchive a;
        a.table = next++;
        s.archives.push_back(a);
        archiveLeft -= kArchiveTableBytes;
    }
    if (format == 3 && writtenAs >= 4) {
        // The step to 3 creates its three lists under the lowest free numbers
        // while the old index still exists, and deletes the index at the end.
        std::set<std::uint16_t> inUse = {writtenIndex};
        for (const SampleList& l : s.lists) inUse.insert(l.table);
        for (const SampleArchive& a : s.archives) inUse.insert(a.table);
        std::vector<std::uint16_t> fresh;
        for (std::uint16_t t = kFirstTable; fresh.size() < 3 && t < 192; ++t)
            if (!inUse.count(t)) fresh.push_back(t);
        if (fresh.size() < 3) {
            if (problem) *problem = "no table numbers left for the format 3 lists";
            return false;
        }
        s.listIndexTable = fresh[0];
        s.folderTable = fresh[1];
        s.columnTable = fresh[2];
        if (s.gapTable == fresh[0] || s.gapTable == fresh[1] || s.gapTable == fresh[2])
            s.gapTable = 0;
    }
    if (format == 3) {
        s.appArea[4] = static_cast<std::uint8_t>(s.listIndexTable);
        s.appArea[8] = static_cast<std::uint8_t>(s.folderTable);
        s.appArea[10] = static_cast<std::uint8_t>(s.columnTable);
    } else {
        s.appArea[4] = static_cast<std::uint8_t>(s.listIndexTable);
    }

    // Entries: the format 4/5 index entry names the list's table; format 3 keeps
    // folder records in the entries and list records in the lists.
    for (SampleEntry& entry : s.entries) {
        ImageBuilder b;
        ParseImage(entry.image, &b);
        if (entry.isList)
            b.Short(tag::kEntryTable, s.lists[static_cast<std::size_t>(entry.list)].table);
        if (format == 3 && !entry.isList) {
            ImageBuilder f;
            if (b.Has(tag::kEntryName)) f.String(tag::kFolderName, entry.name);
            f.Short(tag::kId, static_cast<std::uint16_t>(entry.identifier));
            f.Short(tag::kParent, static_cast<std::uint16_t>(entry.parent));
            entry.image = f.Image();
        } else {
            entry.image = b.Image();
        }
    }

    // Lists.
    struct ColumnKey {
        std::int16_t list, column;
        WordImage image;
    };
    std::vector<ColumnKey> columnList;
    for (std::size_t i = 0; i < s.lists.size(); ++i) {
        SampleList& list = s.lists[i];
        ListContent& c = contents[i];
        const SampleEntry* entry = nullptr;
        for (const SampleEntry& e : s.entries)
            if (e.list == static_cast<int>(i)) entry = &e;
        ImageBuilder h = c.header;
        if (format <= 4) {
            h.Remove(tag::kSyncStamp);
            h.Remove(tag::kTheme);
            h.Remove(tag::kSharedBy);
        }
        if (format == 3) {
            h.Short(tag::kTable, list.table);
            h.Short(tag::kId, static_cast<std::uint16_t>(list.identifier));
            h.Short(tag::kParent, static_cast<std::uint16_t>(entry->parent));
        }
        list.header = h.Image();
        list.columnTypes = c.columnTypes;
        for (const ImageBuilder& col : c.columns) {
            if (format == 3) {
                ImageBuilder k = col;
                std::uint16_t t = 0;
                std::int16_t columnId = 0;
                for (const auto& f : k.fields()) {
                    if (f.tag == tag::kColumnType) t = f.values[0];
                    if (f.tag == tag::kColumnId) columnId = static_cast<std::int16_t>(f.values[0]);
                }
                k.Short(tag::kColumnList, static_cast<std::uint16_t>(list.identifier));
                k.Remove(tag::kColumnFlags);
                k.Remove(tag::kColumnPosition);
                if (t != 7) k.Remove(tag::kColumnWidth);
                k.Short(tag::kColumnType, MapColumnType(t));
                list.columns.push_back(k.Image());
                columnList.push_back({list.identifier, columnId, k.Image()});
            } else {
                list.columns.push_back(col.Image());
            }
        }
        if (format == 3) {
            for (auto& t : list.columnTypes) t = MapColumnType(t);
        } else {
            list.chunk3 = c.chunk3;
            list.chunk4 = c.chunk4;
            if (format == 4) list.chunk4.erase(list.chunk4.begin());
        }
        // Items: generated from their own stream, so the outline does not
        // depend on the item count and the other way round.
        SampleRandom ir(Mix(o.seed, 0x2000 + i));
        list.itemHash = kHashStart;
        for (int n = 0; n < list.itemCount; ++n) {
            WordImage item = MakeItem(ir, n + 1, c.columnTypes, list.identifier);
            list.itemHash = HashWords(list.itemHash, item);
            list.itemBytes += item.size() * 2;
            if (o.keepItemImages) list.items.push_back(std::move(item));
        }
        s.totalItems += list.itemCount;
    }
    std::stable_sort(columnList.begin(), columnList.end(),
                     [](const ColumnKey& a, const ColumnKey& b) {
                         return a.list < b.list || (a.list == b.list && a.column < b.column);
                     });
    for (auto& k : columnList) s.columnList.push_back(std::move(k.image));

    // Archive tables: items of earlier years, kept in plain record tables that
    // no conversion step touches.
    if (!s.archives.empty()) {
        SampleRandom ar(Mix(o.seed, 0x3000));
        std::vector<std::uint16_t> types;
        for (int t = 0; t < kColumnTypes; ++t) types.push_back(static_cast<std::uint16_t>(t));
        std::int64_t left = o.archiveBytes;
        int itemId = 1;
        for (SampleArchive& a : s.archives) {
            a.hash = kHashStart;
            const std::int64_t want = std::min(left, kArchiveTableBytes);
            while (static_cast<std::int64_t>(a.bytes) < want) {
                WordImage item = MakeItem(ar, itemId++, types, 0);
                if (static_cast<std::int64_t>(a.bytes + item.size() * 2) > kArchiveTableBytes)
                    break;
                a.hash = HashWords(a.hash, item);
                a.bytes += item.size() * 2;
                ++a.records;
                if (o.keepItemImages) a.images.push_back(std::move(item));
            }
            left -= static_cast<std::int64_t>(a.bytes);
            s.totalItems += a.records;
        }
    }
    *out = std::move(s);
    return true;
}

}  // namespace quillet
