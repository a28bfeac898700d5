#pragma once
// TEMPORARY placeholder until the env-refs branch lands its trim helper.
#include <string_view>
namespace tarnel::core {
inline std::string_view trim_white_space(std::string_view t) {
    while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
    while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    return t;
}
}
