// The emulated machine's registry file (regedit format): RegFile::Parse,
// HasKey and Values.
//
// Input: the file's bytes.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/posix/regfile.h"
#include "platform/utf.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using platform::posix::RegFile;

// The key paths the file names in its section lines, as written.
std::set<std::string> SectionNames(const std::string& text) {
  std::set<std::string> names;
  std::size_t start = 0;
  while (start < text.size() && names.size() < 64) {
    auto end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const auto open = text.find('[', start);
    if (open != std::string::npos && open < end) {
      const auto close = text.rfind(']', end);
      if (close != std::string::npos && close > open) names.insert(text.substr(open + 1, close - open - 1));
    }
    start = end + 1;
  }
  return names;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

void CheckValues(const RegFile& file, const std::string& key) {
  const auto values = file.Values(key);
  if (!values.empty()) FUZZ_CHECK(file.HasKey(key));
  // Value names are kept lower-cased ("" is the default value).
  for (const auto& entry : values) FUZZ_CHECK(RegFile::NormalizeName(entry.first) == entry.first);
}

bool SameValues(const RegFile& a, const std::string& ka, const RegFile& b, const std::string& kb) {
  const auto va = a.Values(ka);
  const auto vb = b.Values(kb);
  if (va.size() != vb.size()) return false;
  for (auto i = va.begin(), j = vb.begin(); i != va.end(); ++i, ++j)
    if (i->first != j->first || i->second.type != j->second.type || i->second.data != j->second.data)
      return false;
  return a.HasKey(ka) == b.HasKey(kb);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const RegFile file = RegFile::Parse(bytes);

  const std::set<std::string> keys = SectionNames(bytes);
  for (const std::string& key : keys) {
    CheckValues(file, key);
    const std::string normal = RegFile::NormalizeKey(key);
    FUZZ_CHECK(RegFile::NormalizeKey(normal) == normal);
    // Lookups ignore letter case, doubled backslashes and abbreviations.
    FUZZ_CHECK(SameValues(file, key, file, normal));
    FUZZ_CHECK(SameValues(file, key, file, Upper(key)));
    FUZZ_CHECK(SameValues(file, key, file, "\\" + key + "\\"));
  }
  CheckValues(file, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvane\\CorvZyraAgent");

  // The same text in UTF-16LE with a BOM, as regedit writes it, reads the
  // same (only well-formed UTF-8 text without a BOM of its own can be
  // re-encoded exactly).
  std::u16string wide;
  if (size < 4096 && bytes.rfind("\xEF\xBB\xBF", 0) != 0 && bytes.rfind("\xFF\xFE", 0) != 0 &&
      platform::Utf8ToUtf16(bytes, wide)) {
    std::string utf16 = "\xFF\xFE";
    for (char16_t u : wide) {
      utf16 += static_cast<char>(u & 0xFF);
      utf16 += static_cast<char>(u >> 8);
    }
    const RegFile fromWide = RegFile::Parse(utf16);
    for (const std::string& key : keys) FUZZ_CHECK(SameValues(file, key, fromWide, key));
  }
  return 0;
}
