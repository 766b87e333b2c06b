// Version parsing: NormalizeVersion, CompareVersions, ParseComponent and the
// agent's version manifest ("version" member).
//
// Input: two version texts separated by the first NUL; the whole input is
// also read as a version manifest.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "app/agent_update.h"
#include "app/file_helpers.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

// Swapping the arguments flips the sign; every text equals itself.
void CheckCompare(const std::string& a, const std::string& b) {
  const int ab = app::CompareVersions(a, b);
  const int ba = app::CompareVersions(b, a);
  FUZZ_CHECK(ab == -1 || ab == 0 || ab == 1);
  FUZZ_CHECK(ab == -ba);
  FUZZ_CHECK(app::CompareVersions(a, a) == 0);
  // Pieces after the third never count; empty pieces are no pieces.
  if (app::Tokenize(a, ".").size() >= 3) FUZZ_CHECK(app::CompareVersions(a, a + ".99") == 0);
  FUZZ_CHECK(app::CompareVersions(a, "." + a + "..") == 0);
}

void CheckNormalize(const std::string& text) {
  const std::string n = app::NormalizeVersion(text);
  const auto pieces = app::Tokenize(text, ".");
  if (pieces.size() < 4) {
    FUZZ_CHECK(n == text);
  } else {
    FUZZ_CHECK(app::Tokenize(n, ".").size() == 3);
    FUZZ_CHECK(n.size() <= text.size());
  }
  // Normalising keeps the first three pieces, so the order is unchanged.
  FUZZ_CHECK(app::CompareVersions(n, text) == 0);
  FUZZ_CHECK(app::NormalizeVersion(n) == n);
}

void CheckComponent(const std::string& piece) {
  const std::int32_t v = app::ParseComponent(piece);
  // A piece that starts with a digit and has at most nine digits reads as
  // that number.
  std::size_t digits = 0;
  while (digits < piece.size() && piece[digits] >= '0' && piece[digits] <= '9') ++digits;
  if (digits > 0 && digits <= 9) {
    std::int64_t expected = 0;
    for (std::size_t i = 0; i < digits; ++i) expected = expected * 10 + (piece[i] - '0');
    FUZZ_CHECK(v == expected);
  }
  if (digits == 0 && !piece.empty() && piece[0] != ' ' && piece[0] != '\t' && piece[0] != '\n' &&
      piece[0] != '\v' && piece[0] != '\f' && piece[0] != '\r' && piece[0] != '+' &&
      piece[0] != '-')
    FUZZ_CHECK(v == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const std::string a = input.substr(0, nul);
  const std::string b = nul == std::string::npos ? std::string() : input.substr(nul + 1);

  CheckCompare(a, b);
  CheckNormalize(a);
  CheckNormalize(b);
  for (const std::string& piece : app::Tokenize(a, ".")) CheckComponent(piece);

  try {
    const std::string version = app::ParseAvailableVersion(input);
    CheckNormalize(version);
  } catch (const std::runtime_error&) {
    // Not a usable version manifest: the step ends the run with 123.
  }
  return 0;
}
