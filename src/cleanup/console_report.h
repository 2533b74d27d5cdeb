// Diagnostic lines on standard output. UTF-16 text is converted to 8-bit in
// the system's ANSI code page here and nowhere else.
#pragma once

#include <string>
#include <string_view>

// Whole text in the ANSI code page; a character without an equivalent becomes '?'.
std::string ToAnsi(std::u16string_view text);

// Writes 8-bit text as it stands.
void Report(std::string_view line);
// Writes a UTF-16 line, converted whole.
void ReportWide(std::u16string_view line);
