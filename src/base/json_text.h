#pragma once
// The JSON string form shared by every document the helper writes (status
// report, setup marker, lease files).

#include <string>
#include <string_view>

namespace tessarin {

// Appends `text` between quotation marks: quotation mark and backslash are
// escaped with a backslash; backspace, tab, line feed, form feed and carriage
// return as \b \t \n \f \r; other characters below U+0020 as \u00 and two
// lower-case hexadecimal digits; everything else (solidus, U+007F, non-ASCII)
// unchanged.
void append_json_string(std::string& out, std::string_view text);

}  // namespace tessarin
