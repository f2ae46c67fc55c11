// What the test vector writers share: lower-case hex for the bytes they
// write, and the command line that either prints the file or, with
// --check FILE, proves the checked-in file is what the code makes today.
#pragma once

#include <cstdint>
#include <fstream>
#include <iostream>
#include <span>
#include <sstream>
#include <string>

namespace vector_file {

inline std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// Prints text, or with "--check FILE" compares it with FILE: 0 when equal,
// 1 (and how to regenerate it with `program`) when not.
inline int print_or_check(int argc, char** argv, const std::string& text, const char* program) {
  if (argc == 3 && std::string(argv[1]) == "--check") {
    std::ifstream file(argv[2]);
    std::stringstream stored;
    stored << file.rdbuf();
    if (stored.str() == text) return 0;
    std::cerr << argv[2] << " differs from what the code signs today; regenerate it with\n"
              << "  " << program << " > " << argv[2] << "\n";
    return 1;
  }
  std::cout << text;
  return 0;
}

}  // namespace vector_file
