// Shared by the registry tests: deep comparison of registry trees, the three
// independent readers run on a hive file, and the hivex listing of a hive.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "registry/registry_tree.h"
#include "support/run_process.h"

namespace quelbrix::testing {

// Keys, classes, descriptors, flags, times and values of two subtrees, with
// the path of the first difference.
inline void ExpectSameTree(const registry::RegistryKey& a, const registry::RegistryKey& b, const std::string& path = "") {
  std::vector<std::tuple<const registry::RegistryKey*, const registry::RegistryKey*, std::string>> pending{{&a, &b, path}};
  while (!pending.empty()) {
    auto [x, y, p] = pending.back();
    pending.pop_back();
    ASSERT_TRUE(x->Name == y->Name) << p;
    ASSERT_TRUE(x->Class == y->Class) << p;
    ASSERT_EQ(x->Security == nullptr, y->Security == nullptr) << p;
    if (x->Security) {
      ASSERT_EQ(*x->Security, *y->Security) << p;
    }
    ASSERT_EQ(x->LastWrite, y->LastWrite) << p;
    ASSERT_EQ(x->Flags, y->Flags) << p;
    ASSERT_EQ(x->Values.size(), y->Values.size()) << p;
    for (size_t i = 0; i < x->Values.size(); ++i) {
      ASSERT_TRUE(x->Values[i].Name == y->Values[i].Name) << p << " value " << i;
      ASSERT_EQ(x->Values[i].Type, y->Values[i].Type) << p << " value " << i;
      ASSERT_EQ(x->Values[i].Data, y->Values[i].Data) << p << " value " << i;
      ASSERT_EQ(x->Values[i].Flags, y->Values[i].Flags) << p << " value " << i;
    }
    ASSERT_EQ(x->Subkeys.size(), y->Subkeys.size()) << p;
    for (size_t i = 0; i < x->Subkeys.size(); ++i)
      pending.emplace_back(x->Subkeys[i].get(), y->Subkeys[i].get(), p + "\\" + std::to_string(i));
  }
}

inline std::string HexBytes(const uint8_t* bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

inline std::string HexName(std::u16string_view name) {
  std::string out;
  for (char16_t u : name) {
    uint8_t b[2] = {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)};
    out += HexBytes(b, 2);
  }
  return out;
}

// What hive_dump.py lists for a hive holding this tree.
inline std::string ListingOf(const registry::RegistryKey& root) {
  auto orderKey = [](const std::u16string& n) {
    std::u16string k = n;
    for (auto& u : k)
      if (u >= u'a' && u <= u'z') u = static_cast<char16_t>(u - 32);
    return k;
  };
  std::string out;
  std::vector<std::pair<const registry::RegistryKey*, std::string>> stack{{&root, ""}};
  while (!stack.empty()) {
    auto [key, path] = stack.back();
    stack.pop_back();
    out += "K " + path + "\n";
    for (const auto& v : key->Values)
      out += "V " + HexName(v.Name) + " " + std::to_string(v.Type) + " " + HexBytes(v.Data.data(), v.Data.size()) + "\n";
    std::vector<const registry::RegistryKey*> children;
    for (const auto& c : key->Subkeys) children.push_back(c.get());
    std::stable_sort(children.begin(), children.end(),
                     [&](const auto* a, const auto* b) { return orderKey(a->Name) < orderKey(b->Name); });
    for (size_t i = children.size(); i-- > 0;)
      stack.emplace_back(children[i], (path.empty() ? "" : path + "/") + HexName(children[i]->Name));
  }
  return out;
}

// Absolute: the compiler (or ccache) may give __FILE__ relative to the build folder.
inline std::string SourceFolder() { return std::string(QUELBRIX_TESTS_SOURCE) + "/registry"; }

// The hivex listing of a hive (tests/registry/hive_dump.py) into `outFile`.
inline ProcessResult HivexListing(const std::string& hive, const std::string& outFile,
                                  const std::vector<std::string>& options = {}) {
  std::vector<std::string> argv{"/usr/bin/python3", SourceFolder() + "/hive_dump.py"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(hive);
  return RunProcess(argv, outFile);
}

// hivexml, regfinfo and reglookup open the file and report nothing on their
// error streams (reglookup's notes about names and value data it cannot print
// in its encoding are about the content, not the file, and are left out).
inline void ExpectOraclesAccept(const std::string& hive) {
  ProcessResult xml = RunProcess({"hivexml", hive});
  EXPECT_EQ(xml.status, 0) << "hivexml: " << xml.err;
  EXPECT_EQ(xml.err, "") << "hivexml";
  ProcessResult info = RunProcess({"regfinfo", "-v", hive});
  EXPECT_EQ(info.status, 0) << "regfinfo: " << info.err;
  EXPECT_EQ(info.err, "") << "regfinfo";
  EXPECT_NE(info.out.find("File type:\tRegistry"), std::string::npos) << info.out.substr(0, 400);
  ProcessResult lookup = RunProcess({"reglookup", "-s", hive});
  EXPECT_EQ(lookup.status, 0) << "reglookup: " << lookup.err.substr(0, 400);
  size_t start = 0;
  while (start < lookup.err.size()) {
    size_t end = lookup.err.find('\n', start);
    if (end == std::string::npos) end = lookup.err.size();
    std::string line = lookup.err.substr(start, end - start);
    bool content = line.find("Data could not be interpreted") != std::string::npos ||
                   line.find("name to encoding") != std::string::npos ||
                   line.find("classname to charset") != std::string::npos ||
                   line.find("class name charset") != std::string::npos;
    if (!content) ADD_FAILURE() << "reglookup: " << line;
    start = end + 1;
  }
}

}  // namespace quelbrix::testing
