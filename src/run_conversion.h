#pragma once

#include <string_view>

#include "host/host.h"

namespace Module1 {

inline constexpr std::string_view kInputFileName = "data.dat";
inline constexpr std::string_view kOutputFileName = "data2.dat";

// The two notices, in UTF-8.
inline constexpr std::string_view kCompletionNotice =
    "うはｗｗｗｗｗｗｗｗｗ おｋｗｗｗｗｗｗｗｗｗ";
inline constexpr std::string_view kFailureNotice = "data.datがありません";

enum class Outcome { completed, failed };

// The whole work of the program: converts data.dat beside the executable into
// data2.dat beside it, then shows the completion notice; on any failure shows
// the failure notice instead. The outcome becomes the exit status.
Outcome run_conversion(host::Host& host);

}  // namespace Module1
