// Texts the front end takes from the operating system: error descriptions of errno values.
// (The UTF-8 check and conversion of standard input and the argument list live in
// speakers/utf8_text.h, shared with the inference library.)
#pragma once

#include <string>

namespace quillfen::analyze {

// "{description} (os error {number})", for example "No such file or directory (os error 2)".
std::string os_error_text(int error_number);

}  // namespace quillfen::analyze
