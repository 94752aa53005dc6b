#pragma once

#include <stdexcept>
#include <string>

namespace Module1 {

// The one exception type of the program. Whatever goes wrong — a missing file,
// an I/O error, a malformed record — is thrown as a Failure and unwinds to the
// single handler in run_conversion, which shows the failure notice.
//
// The text names the real cause for the diagnostic line on standard error.
// A record failure says what is wrong with the record; the handler adds which
// line it was, since only the run knows that.
class Failure : public std::runtime_error {
 public:
  // A record with too few fields is told apart: CSV may read its line as a
  // whole record, and that says more of what is wrong.
  enum class Kind { system, record, too_few_fields };

  explicit Failure(const std::string& cause, Kind kind = Kind::system)
      : std::runtime_error(cause), kind_(kind) {}

  static Failure record(const std::string& cause) { return Failure(cause, Kind::record); }

  [[nodiscard]] bool is_record_failure() const { return kind_ != Kind::system; }
  [[nodiscard]] bool has_too_few_fields() const { return kind_ == Kind::too_few_fields; }

 private:
  Kind kind_;
};

}  // namespace Module1
