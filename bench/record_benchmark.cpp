// Microbenchmarks of the per-record steps on typical lines, so that a
// regression shows where it is.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "code_table.h"
#include "record_line.h"

namespace {

// Lines like those of the generated data: 8 quoted fields, CP932 text.
std::vector<std::string> typical_lines() {
  constexpr int kLines = 64;
  const char* codes[] = {"99", "5", "77", "16", "0", "", "19", "05"};
  std::vector<std::string> lines;
  lines.reserve(kLines);
  for (int i = 0; i < kLines; ++i) {
    lines.push_back("\"K" + std::to_string(10000000 + i) +
                    "\",\"\x8d\xb2\x93\xa1 \x88\xea\x98\x59\",\"\x89\x63\x8b\xc6\x95\x94\",\"" +
                    codes[i % 8] + R"(","2019/04/17",")" + std::to_string(1234567 + i * 7919) +
                    "\",\"\x97\x5c\x92\xe8\x95\x5c\x82\xf0\x8a\x6d\x94\x46\",\"A\"");
  }
  return lines;
}

// The three shapes of the speed targets: 5 fields of about 23 bytes, the
// typical 8 fields, and 40 fields of about 900 bytes with stray quotes and
// commas inside the fields.
std::vector<std::string> lines_of_shape(int shape) {
  if (shape == 1) return typical_lines();
  std::vector<std::string> lines;
  for (int i = 0; i < 64; ++i) {
    if (shape == 0) {
      lines.push_back("\"" + std::to_string(100 + i) + R"(","ab","c","5","xyz")");
      continue;
    }
    std::string line = "\"K" + std::to_string(i);
    for (int field = 1; field < 40; ++field) {
      line += field == 3 ? R"(","16)" : "\",\"\x95\x5c\"a,b\",c \x88\xea\x98\x59 ok";
    }
    lines.push_back(line + "\"");
  }
  return lines;
}

// Views of `lines`, each padded as the line reader's buffer is.
std::vector<std::string_view> padded(std::vector<std::string>& lines) {
  std::vector<std::string_view> views;
  views.reserve(lines.size());
  for (std::string& line : lines) {
    const std::size_t size = line.size();
    line.append(Module1::kWholeCopy, '\0');
    views.emplace_back(line.data(), size);
  }
  return views;
}

void BM_SplitRecord(benchmark::State& state) {
  std::vector<std::string> lines = lines_of_shape(static_cast<int>(state.range(0)));
  const std::vector<std::string_view> views = padded(lines);
  std::size_t bytes = 0;
  for (auto iteration : state) {
    (void)iteration;
    for (const std::string_view line : views) {
      const Module1::FieldList fields = Module1::split_record(line);
      benchmark::DoNotOptimize(fields.fourth_separator);
      bytes += line.size();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines.size()));
}
BENCHMARK(BM_SplitRecord)->ArgName("shape")->Arg(0)->Arg(1)->Arg(2);

void BM_JoinRecord(benchmark::State& state) {
  std::vector<std::string> lines = typical_lines();
  std::vector<Module1::FieldList> split;
  split.reserve(lines.size());
  for (const std::string_view line : padded(lines)) split.push_back(Module1::split_record(line));
  std::vector<char> output(Module1::output_room(1 << 16));
  for (auto iteration : state) {
    (void)iteration;
    for (const Module1::FieldList& fields : split) {
      benchmark::DoNotOptimize(Module1::join_record(fields, Module1::Code("18"), output.data()));
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(lines.size()));
}
BENCHMARK(BM_JoinRecord);

void BM_Recode(benchmark::State& state) {
  // Codes in an order without a pattern, as in real exports, so that a
  // branch on the code would cost what it costs there.
  const std::vector<std::string> known = {"99", "5", "77", "16", "0", "", "19", "05", "18", "1"};
  std::vector<std::string_view> codes;
  std::uint32_t state_of_generator = 932;
  for (int i = 0; i < 4096; ++i) {
    state_of_generator = state_of_generator * 1664525U + 1013904223U;
    codes.emplace_back(known[(state_of_generator >> 16) % known.size()]);
  }
  Module1::Code carried;
  for (auto iteration : state) {
    (void)iteration;
    for (const std::string_view code_field : codes) {
      carried = Module1::recode(code_field, carried);
      benchmark::DoNotOptimize(carried);
    }
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(codes.size()));
}
BENCHMARK(BM_Recode);

}  // namespace

BENCHMARK_MAIN();
