// The whole conversion in memory, without the file system: reader, record
// line, code table and writer together, on 16 MiB of generated records of
// each shape. Random codes and field lengths, as in real exports, so that
// branch prediction is tested as it is on real data.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"
#include "run_conversion.h"

namespace {

constexpr std::size_t kInputSize = std::size_t{16} << 20;

class StringInput final : public host::InputFile {
 public:
  explicit StringInput(std::string_view content) : content_(content) {}
  std::size_t read(char* buffer, std::size_t capacity) override {
    const std::size_t count = std::min(capacity, content_.size() - offset_);
    content_.copy(buffer, count, offset_);
    offset_ += count;
    return count;
  }
  void close() override {}
  [[nodiscard]] host::FileIdentity identity() const override {
    return {{1, 0, 1}, {}, "", 1, {}, 0, true};
  }
  [[nodiscard]] host::FileState state() const override { return {content_.size(), 0}; }

 private:
  std::string_view content_;
  std::size_t offset_ = 0;
};

// Keeps only the last bytes written, as a sink that costs nothing per byte.
class CountingOutput final : public host::OutputFile {
 public:
  void write(const char* data, std::size_t size) override {
    benchmark::DoNotOptimize(data);
    size_ += size;
  }
  [[nodiscard]] std::uint64_t size() const override { return size_; }
  void cut_back(std::uint64_t size) override { size_ = size; }
  void flush() override {}
  void put_in_place() override {}
  void close() override {}

 private:
  std::uint64_t size_ = 0;
};

// A host of its own rather than the tests' in-memory one, which would weigh
// on what is measured: that one copies every byte written into a string
// that grows through the run, looks its files up by name on every read,
// and records each step as text. Here a read is a copy out of the input and
// a write costs nothing, so the figures are the conversion's alone.
class BenchmarkHost final : public host::Host {
 public:
  explicit BenchmarkHost(std::string_view input) : input_(input) {}
  std::string program_directory() override { return "/bench"; }
  [[nodiscard]] char path_separator() const override { return '/'; }
  std::unique_ptr<host::InputFile> open_input(const std::string& /*path*/) override {
    return std::make_unique<StringInput>(input_);
  }
  std::unique_ptr<host::OutputFile> open_output(const std::string& /*path*/,
                                                std::uint64_t /*expected_size*/) override {
    return std::make_unique<CountingOutput>();
  }
  std::optional<host::FileIdentity> identity_of(const std::string& /*path*/) override {
    return std::nullopt;
  }
  std::optional<host::FileIdentity> diagnostic_file() override { return std::nullopt; }
  void show_notice(std::string_view /*text*/) override {}
  void report_cause(std::string_view /*cause*/) override {}

 private:
  std::string_view input_;
};

// A number below `limit`, from the generator.
class Dice {
 public:
  std::size_t below(std::size_t limit) { return static_cast<std::size_t>(engine_()) % limit; }
  bool coin() { return below(2) == 0; }

 private:
  std::mt19937 engine_{932};
};

// Text of `length` two-byte code page 932 characters.
std::string kanji(Dice& dice, std::size_t length) {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) {
    text += static_cast<char>(0x88 + dice.below(8));
    text += static_cast<char>(0x40 + dice.below(0x3c));
  }
  return text;
}

std::string quoted_record(const std::vector<std::string>& fields) {
  std::string line = "\"";
  for (std::size_t i = 0; i < fields.size(); ++i) line += (i == 0 ? "" : "\",\"") + fields[i];
  return line + "\"\r\n";
}

// The shapes of bench/make_data.py: 0 narrow (5 fields, about 23 bytes),
// 1 realistic (8 fields, about 78 bytes), 2 wide (40 fields, about 900 bytes,
// with stray quotes and commas inside the fields).
std::string generated_input(int shape) {
  const std::vector<std::string> codes = {"0",  "99", "1",  "2",  "3",  "4",  "5",  "6",  "7",
                                          "8",  "9",  "10", "11", "12", "13", "14", "15", "19",
                                          "16", "17", "18", "77", "20", "05", ""};
  Dice dice;
  const auto pick_code = [&] { return codes[dice.below(codes.size())]; };
  std::string input;
  for (std::uint64_t number = 1; input.size() < kInputSize; ++number) {
    const std::string serial = std::to_string(10000000 + number);
    if (shape == 0) {
      input += quoted_record(
          {serial.substr(3), dice.coin() ? "A" : "B", "x", pick_code(), kanji(dice, 1)});
    } else if (shape == 1) {
      input += quoted_record({"K" + serial,
                              kanji(dice, 2 + dice.below(2)) + " " + kanji(dice, 1 + dice.below(3)),
                              kanji(dice, 3 + dice.below(3)), pick_code(), "2019/04/17",
                              std::to_string(100000 + dice.below(9000000)),
                              kanji(dice, dice.below(6)), dice.coin() ? "A" : "B"});
    } else {
      std::vector<std::string> fields = {serial, "A", "x", pick_code()};
      for (int n = 0; n < 36; ++n) {
        fields.push_back("\"" + kanji(dice, 2) + "\"," + kanji(dice, 3 + dice.below(3)) + " " +
                         std::to_string(n));
      }
      input += quoted_record(fields);
    }
  }
  return input;
}

void BM_RunConversion(benchmark::State& state) {
  const std::string input = generated_input(static_cast<int>(state.range(0)));
  const auto lines = std::count(input.begin(), input.end(), '\r');
  for (auto iteration : state) {
    (void)iteration;
    BenchmarkHost host(input);
    if (Module1::run_conversion(host) != Module1::Outcome::completed) {
      state.SkipWithError("the conversion failed");
      return;
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
  state.counters["ns_per_line"] =
      benchmark::Counter(static_cast<double>(state.iterations() * lines),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_RunConversion)
    ->ArgName("shape")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
