#pragma once
// UTF-8 <-> UTF-16 conversion shared by the platform implementations whose
// ANSI code page is UTF-8 (see Utf8Text.cpp for the treatment of ill-formed
// input). Both follow Platform::AnsiToWide and Platform::WideToAnsi: `length`
// -1 converts up to and including the terminating zero, an output count of 0
// only counts, and the result is the units (bytes) written or needed, 0 on
// failure (bad arguments, or an output too small, in which case nothing is
// counted as written).

namespace quillet {

int Utf8ToWide(const char* text, int length, char16_t* out, int outCount);
int WideToUtf8(const char16_t* text, int length, char* out, int outSize);

}  // namespace quillet
