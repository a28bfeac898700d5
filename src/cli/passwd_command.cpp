#include "cli/commands.hpp"

namespace tarnel::cli {

void add_passwd_command(CLI::App& /*app*/, const GlobalOptions& /*options*/, int& /*status*/) {}

}  // namespace tarnel::cli
