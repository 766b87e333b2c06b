#pragma once
// Which files of a release folder are published: what `zyra-sign manifest`
// signs and lists, and what `zyra-update-server` serves. Only regular files
// directly in the folder, never a hidden file (a name beginning with a dot),
// never a key file: by its name (.key, .p12, .pfx, .ppk) or by its content
// (a PEM block "-----BEGIN ... PRIVATE KEY", a DER private key, a PKCS #12
// file).
#include <filesystem>
#include <istream>
#include <string>
#include <string_view>

namespace zyra_release {

// Empty when the name alone allows the file; otherwise why not: a name
// that is no plain file name of the folder (empty, ".", "..", with a
// slash, a backslash or a control character), a hidden file, a key file's
// extension.
[[nodiscard]] std::string NameProblem(const std::string& name);

// Empty when path is a regular file (not a symbolic link, not a folder);
// otherwise what it is instead.
[[nodiscard]] std::string EntryProblem(const std::filesystem::path& path);

// Empty when folder/name is published; otherwise why not (the name, then
// what it is: a folder, a symbolic link, no regular file, unreadable, a
// private key inside). Reads the file to look for a private key.
[[nodiscard]] std::string NotPublishedBecause(const std::filesystem::path& folder,
                                              const std::string& name);

// Whether what the stream still holds contains a private key: a PEM
// "-----BEGIN ... PRIVATE KEY" line anywhere, or, when it starts with a DER
// sequence, a DER private key (plain or encrypted) or a PKCS #12 file in its
// first MiB. Reads the stream to its end in blocks.
[[nodiscard]] bool HoldsPrivateKey(std::istream& in);

// The checks HoldsPrivateKey makes, for a file checked as it is sent: a
// private key in the first MiB of the stream (DER, PKCS #12 or PEM), and a
// PEM private key line in text (a later block of the file with the
// kPemCarry bytes before it).
[[nodiscard]] bool StartsWithPrivateKey(std::istream& in);
[[nodiscard]] bool HoldsPemPrivateKey(std::string_view text);
// Bytes of the previous block a block is checked with, so that a line
// "-----BEGIN ... PRIVATE KEY" split between them is found.
inline constexpr std::size_t kPemCarry = 128;

// The reason NotPublishedBecause gives for a file holding a private key.
extern const char* const kHoldsPrivateKey;

}  // namespace zyra_release
