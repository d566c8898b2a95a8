// Plain-word meanings of the codes the converter shows, and the Quillet
// versions of the format versions.

#include <string>

#include "check/FileReport.h"

namespace quillet {

std::string QuilletVersionOf(std::uint16_t formatVersion) {
    switch (formatVersion) {
        case 3:
            return "2.0";
        case 4:
            return "3.0";
        case 5:
            return "4.0";
        default:
            return formatVersion < 3 ? "older than 2.0" : "newer than 4.0";
    }
}

std::string MeaningOfCode(ResultCode code) {
    if (code < 0) {
        const int error = -code;
        switch (error) {
            case 2:
                return "The system found no file of that name.";
            case 3:
                return "The system found no folder of that name.";
            case 5:
                return "The system refused access to the file.";
            case 32:
                return "Another program has the file open in a way that excludes this one.";
            case 80:
            case 183:
                return "A file of the name the converter wanted to create already exists.";
            case 112:
                return "The disk is full.";
            default:
                return "The system reported error " + std::to_string(error) +
                       " for a call on the file.";
        }
    }
    switch (code) {
        case 0:
            return "No error.";
        case 3:
            return "The file is shorter than its 512-byte header: it is empty or cut off.";
        case 4:
            return "Writing the file's header failed.";
        case 5:
            return "This is not a sound data file: its header markers are wrong, or its block "
                   "tree names a block twice or beyond the end of the file.";
        case 6:
            return "The header's checksum is wrong: the header was damaged.";
        case 7:
            return "The header gives a header size other than 512: it was damaged or is not a "
                   "data file.";
        case 8:
            return "The container version is newer than this program can read.";
        case 9:
            return "A table number above 191 was met: an index entry or the file's tables are "
                   "damaged.";
        case 10:
            return "A table is larger than a block map can hold.";
        case 12:
            return "The program ran out of memory.";
        case 14:
            return "Moving within the file failed.";
        case 15:
            return "The file was used after it was closed.";
        case 16:
            return "An application header larger than 256 bytes was to be stored.";
        case 17:
            return "A table was to be created under a number that is already in use.";
        case 18:
            return "The file has no free table number left for the tables a conversion makes.";
        case 21:
            return "Flushing the file to the disk failed.";
        case 22:
            return "Another program has the file open: close it there and try again.";
        case 23:
            return "A write to the header block was attempted where a data block belongs: the "
                   "block tree is damaged.";
        case 24:
        case 25:
        case 26:
            return "The compaction that ends a conversion could not run as planned.";
        case 27:
            return "Another program kept the file busy for more than 10 seconds.";
        case 28:
            return "The system refused the lock object that guards the file.";
        case 29:
            return "The system refused the shared block that programs using the file share.";
        case 31:
            return "The file has reached its size limit of 32768 blocks (16 MiB).";
        case 32:
            return "The file is open for reading only.";
        case 33:
            return "There is no file of that name.";
        case 34:
            return "A change was attempted without write permission.";
        case 38:
            return "The file is a data file of another application: its signature is not "
                   "\"Tallyset\".";
        case 46:
            return "The file's format version does not allow this conversion.";
        case 1001:
            return "A record was to be changed in place inside its list.";
        case 1002:
            return "The program ran out of memory for a record.";
        case 1003:
            return "A record would grow beyond its limit of 32766 words.";
        case 7001:
            return "A table is not of the kind its use needs, or the list index names a table "
                   "that cannot be a list (the directory, the free list, the index itself, or a "
                   "table named twice).";
        case 7002:
            return "A table's content was used without a table.";
        case 7003:
            return "A table's record size is not the one its kind needs.";
        case 7101:
            return "A table's size cannot be held: its block count or last-block size is "
                   "damaged, or memory ran out.";
        case 7104:
            return "A chunked list table has no content.";
        case 7105:
            return "A chunk of a list's table is missing.";
        case 7106:
            return "The chain of chunk lengths in a list's table is broken: a chunk is shorter "
                   "than its length word or runs past the end.";
        case 7201:
            return "A record list was used while not open.";
        case 7202:
            return "A record list could not grow or shrink.";
        case 7203:
            return "The chain of record lengths in a list is broken: a record length is below 1 "
                   "or a record runs past the end of the list.";
        case 7204:
            return "A record that a list must hold is missing (for example a list's header "
                   "record).";
        default:
            return "Code " + std::to_string(code) + " of the program's own layers.";
    }
}

}  // namespace quillet
