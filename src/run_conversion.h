#pragma once

#include <cstddef>
#include <string_view>

#include "host.h"
#include "line_reader.h"

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
// the failure notice instead. The outcome becomes the exit status. Tests give
// the line reader a small buffer, so that short lines take the long-line path.
Outcome run_conversion(host::Host& host,
                       std::size_t line_buffer_size = LineReader::kDefaultBufferSize);

}  // namespace Module1
