#pragma once

#include <string_view>

namespace Module1 {

// Renumbers one code field. When the field's text is exactly one of the old
// codes of the table, the result is that code's new code; otherwise the result
// is `carried_code` unchanged, so an unknown code takes the new code of the
// last known one (or nothing, before any code was known).
//
// The result is a view into the table itself or `carried_code`, never into the
// field, so it stays valid after the record line is gone.
std::string_view recode(std::string_view code_field, std::string_view carried_code);

}  // namespace Module1
