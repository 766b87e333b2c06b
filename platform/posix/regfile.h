#pragma once
// Reader of registry files in the format regedit exports
// ("Windows Registry Editor Version 5.00"), UTF-8 or UTF-16LE with a BOM.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform::posix {

struct RegValue {
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// Key paths are stored with the full hive name, e.g.
// "HKEY_LOCAL_MACHINE\SOFTWARE\Corvane"; lookups ignore letter case.
class RegFile {
 public:
  // Parses text (raw file bytes). Lines that cannot be parsed are skipped.
  static RegFile Parse(const std::string& bytes);

  // True when the key, or any key below it, is in the file.
  [[nodiscard]] bool HasKey(const std::string& keyPath) const;
  // The values of a key (empty when it has none).
  [[nodiscard]] std::map<std::string, RegValue> Values(const std::string& keyPath) const;

  // Lower-cased, hive-expanded, single-backslash form of a key path.
  [[nodiscard]] static std::string NormalizeKey(const std::string& keyPath);
  // Lower-cased value name ("" is the default value "@").
  [[nodiscard]] static std::string NormalizeName(const std::string& name);

 private:
  std::map<std::string, std::map<std::string, RegValue>> keys_;
};

}  // namespace platform::posix
