// Text between the core's byte strings and the system's UTF-16.
//
// The core holds paths and registry strings in the ANSI code page, as archive entry names
// are. The system's own names are UTF-16, and a user's folder may hold characters that the
// code page cannot write (a Cyrillic user name on a Western system, a CJK folder). Such a
// character reaches the core as an escape: the byte 0x01 followed by the four upper-case
// hex digits of its UTF-16 code unit (a character beyond the basic plane is two escapes,
// one for each surrogate). No archive entry name can hold one: Windows refuses the bytes 1
// to 31 in file names and the updater refuses such entry names. So an escape passes through
// the core untouched, in the paths it joins from an installation folder and entry names,
// and turns back into its character when the path comes back here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumora {

constexpr char kWideEscape = '\x01';
constexpr size_t kWideEscapeLength = 5;  // bytes: kWideEscape and four hex digits

// True when text holds an escape at offset at; its code unit goes to *unit.
bool WideEscapeAt(std::string_view text, size_t at, wchar_t* unit);

// The escape of one UTF-16 code unit, appended to out.
void AppendWideEscape(wchar_t unit, std::string* out);

// The UTF-16 form of core text: escapes decoded, every other run of bytes converted through
// the ANSI code page, as the system's ...A functions convert it.
std::wstring ToWide(std::string_view text);

// The core form of UTF-16 text: each character the ANSI code page writes exactly (no
// look-alike) as its bytes there, every other code unit, and U+0001 itself, as an escape.
std::string FromWide(std::wstring_view text);

// The arguments of a command line as Windows programs split it: the program's name up to
// its closing quote or the first blank, then arguments split at blanks outside quotes,
// where 2n backslashes before a quote stand for n and the quote opens or closes, 2n+1 for
// n and a literal quote, a doubled quote inside quotes for one quote, and backslashes
// elsewhere for themselves. The program's name comes first.
std::vector<std::wstring> SplitCommandLine(std::wstring_view line);

}  // namespace lumora
