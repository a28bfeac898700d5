#pragma once

// The variables of a dotenv file, read the way common dotenv loaders read
// them: `NAME=value` lines, an optional `export ` before the name, `#`
// comments and blank lines, values bare (trimmed, cut at a ` #` comment), in
// single quotes (only \\ and \' escaped) or in double quotes (\\ \' \" \a \b
// \f \n \r \t \v escaped, spanning lines), and LF, CRLF or CR line ends.
// `${...}` is taken as it stands: nothing is expanded.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.hpp"
#include "core/model/secret.hpp"

namespace tarnel::core {

struct DotenvEntry {
    std::string name;
    SecretValue value;
    std::size_t line;  // where the name is, from 1
};

// Strict: a line that is not a binding, a name that is not an identifier, a
// name given twice, an unterminated quote or text after a quoted value ends
// the parse with "line N: ...". No error text holds any part of a value.
Result<std::vector<DotenvEntry>> parse_dotenv(std::string_view text);

}  // namespace tarnel::core
