#pragma once
// Writing key files (a secret one readable by its owner only), and whether
// a pass-phrase may be asked for.
#include <string>

namespace zyra_sign {

// Writes bytes as a new file at path. secret: readable and writable by the
// owner only (0600 from its creation on, never wider for a moment); else
// readable by everyone (0644). Without replace an existing path is an error
// (error says so) and is left alone; with replace the file is written beside
// it and renamed over it.
[[nodiscard]] bool WriteKeyFile(const std::string& path, const std::string& bytes, bool secret,
                                bool replace, std::string& error);

// Whether standard input is a terminal: only there is a pass-phrase asked for.
[[nodiscard]] bool InputIsTerminal();

}  // namespace zyra_sign
