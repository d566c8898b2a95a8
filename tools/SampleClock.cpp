// A platform whose clock is virtual, so that equal options give equal files.

#include "tools/SampleBuilder.h"

namespace quillet {

namespace {

constexpr std::uint64_t kDaysFrom1601To1970 = 134774;
constexpr std::uint64_t kMsPerDay = 86400000ull;

// Calendar date of a day count since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, int* y, unsigned* m, unsigned* d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2));
}

}  // namespace

SampleClockPlatform::SampleClockPlatform(Platform& inner, std::uint32_t seed)
    : inner_(inner),
      // 2004-01-01 plus up to about 11 years, at 09:00, from the seed.
      milliseconds_((kDaysFrom1601To1970 + 12418 + seed % 4000) * kMsPerDay + 9 * 3600000ull),
      ticks_(1000000u + (seed % 1000u) * 977u) {}

Win32Error SampleClockPlatform::OpenFile(const char* path, FileAccess access, FileShare share,
                                         FileDisposition disposition, std::unique_ptr<File>* file) {
    return inner_.OpenFile(path, access, share, disposition, file);
}
Win32Error SampleClockPlatform::GetFullPath(const char* path, char* out, std::size_t outSize) {
    return inner_.GetFullPath(path, out, outSize);
}
Win32Error SampleClockPlatform::GetPathAttributes(const char* path, std::uint32_t* attributes) {
    return inner_.GetPathAttributes(path, attributes);
}
Win32Error SampleClockPlatform::CopyFileTo(const char* source, const char* destination) {
    return inner_.CopyFileTo(source, destination);
}
Win32Error SampleClockPlatform::CopyAccess(const char* source, const char* destination) {
    return inner_.CopyAccess(source, destination);
}
Win32Error SampleClockPlatform::MoveFileTo(const char* from, const char* to) {
    return inner_.MoveFileTo(from, to);
}
Win32Error SampleClockPlatform::RemoveFile(const char* path) {
    return inner_.RemoveFile(path);
}
Win32Error SampleClockPlatform::MakeTempFile(const char* folder, const char* prefix, char* out) {
    return inner_.MakeTempFile(folder, prefix, out);
}
char SampleClockPlatform::Separator() const {
    return inner_.Separator();
}
Win32Error SampleClockPlatform::OpenNamedMutex(const char* name,
                                               std::unique_ptr<NamedMutex>* mutex) {
    return inner_.OpenNamedMutex(name, mutex);
}
Win32Error SampleClockPlatform::OpenSharedBlock(const char* name, bool* existed,
                                                std::unique_ptr<SharedBlock>* block) {
    return inner_.OpenSharedBlock(name, existed, block);
}
void SampleClockPlatform::SleepMs(std::uint32_t milliseconds) {
    inner_.SleepMs(milliseconds);
    milliseconds_ += milliseconds;
    ticks_ += milliseconds;
}
bool SampleClockPlatform::IsWindow(std::uint32_t handle) {
    return inner_.IsWindow(handle);
}
Win32Error SampleClockPlatform::PostWindowMessage(std::uint32_t handle, std::uint32_t message) {
    return inner_.PostWindowMessage(handle, message);
}
Win32Error SampleClockPlatform::CreateWindowListener(std::unique_ptr<WindowListener>* listener) {
    return inner_.CreateWindowListener(listener);
}
void* SampleClockPlatform::LocalAllocZeroed(std::size_t bytes) {
    return inner_.LocalAllocZeroed(bytes);
}
void* SampleClockPlatform::LocalReAllocZeroed(void* block, std::size_t bytes) {
    return inner_.LocalReAllocZeroed(block, bytes);
}
void SampleClockPlatform::LocalFreeBlock(void* block) {
    inner_.LocalFreeBlock(block);
}
int SampleClockPlatform::AnsiToWide(const char* text, int length, char16_t* out, int outCount) {
    return inner_.AnsiToWide(text, length, out, outCount);
}
int SampleClockPlatform::WideToAnsi(const char16_t* text, int length, char* out, int outSize) {
    return inner_.WideToAnsi(text, length, out, outSize);
}
const char* SampleClockPlatform::FindLastChar(const char* text, char c) {
    return inner_.FindLastChar(text, c);
}

FileTime SampleClockPlatform::SystemTimeAsFileTime() {
    milliseconds_ += 1000;
    const std::uint64_t t = milliseconds_ * 10000ull;
    FileTime f;
    f.low = static_cast<std::uint32_t>(t);
    f.high = static_cast<std::uint32_t>(t >> 32);
    return f;
}

SystemTime SampleClockPlatform::LocalTime() {
    milliseconds_ += 1000;
    const std::uint64_t days = milliseconds_ / kMsPerDay;
    const std::uint64_t ms = milliseconds_ % kMsPerDay;
    int y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(static_cast<std::int64_t>(days) - static_cast<std::int64_t>(kDaysFrom1601To1970),
                  &y, &m, &d);
    SystemTime s;
    s.year = static_cast<std::uint16_t>(y);
    s.month = static_cast<std::uint16_t>(m);
    s.day = static_cast<std::uint16_t>(d);
    s.dayOfWeek = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    s.hour = static_cast<std::uint16_t>(ms / 3600000);
    s.minute = static_cast<std::uint16_t>(ms / 60000 % 60);
    s.second = static_cast<std::uint16_t>(ms / 1000 % 60);
    s.milliseconds = static_cast<std::uint16_t>(ms % 1000);
    return s;
}

std::uint32_t SampleClockPlatform::TickCount() {
    return ticks_ += 16;
}

bool SampleClockPlatform::ShowOpenFileDialog(const OpenFileDialog& dialog, char* path) {
    return inner_.ShowOpenFileDialog(dialog, path);
}
MessageAnswer SampleClockPlatform::ShowMessageBox(const char* text, const char* caption,
                                                  MessageButtons buttons, MessageIcon icon) {
    return inner_.ShowMessageBox(text, caption, buttons, icon);
}

}  // namespace quillet
