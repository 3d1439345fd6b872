// make_sample_hive OUT: writes a small damaged hive for trying the commands:
// a few keys and values with faults a user would want found (a wrong lh hash,
// a wrong subkey count, an sk reference count off by one, an allocated cell
// that nothing references, a wrong checksum and unequal sequence numbers).
#include <cstdio>
#include <string>
#include <vector>

#include "support/hive_builder.h"

namespace {

std::vector<uint8_t> Utf16z(const std::u16string& s) {
  std::vector<uint8_t> out;
  for (char16_t c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  out.push_back(0);
  out.push_back(0);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quelbrix::testing;
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_sample_hive OUT\n");
    return 1;
  }
  HiveOptions options;
  options.primarySequence = 12;
  options.secondarySequence = 11;
  options.rootName = "SampleRoot";
  HiveBuilder b(options);

  Key software = b.AddKey(b.Root(), "Software");
  Key vendor = b.AddKey(software, "Vendor");
  Key app = b.AddKey(vendor, "App");
  b.SetClass(app, u"AppClass");
  b.AddValue(app, "Path", 1, Utf16z(u"C:\\Program Files\\App"));
  b.AddValue(app, "Version", 4, {0x03, 0x00, 0x01, 0x00});
  b.AddValue(app, u"\u8a2d\u5b9a", 3, {1, 2, 3, 4, 5, 6, 7, 8});
  Key policies = b.AddKey(software, "Policies");
  b.AddValue(policies, "", 1, Utf16z(u"default"));
  Key system = b.AddKey(b.Root(), "System");
  Key setup = b.AddKey(system, "Setup");
  b.AddValue(setup, "SetupType", 4, {0, 0, 0, 0});
  Security restricted = b.AddSecurity(HiveBuilder::DefaultDescriptor());
  b.SetSecurity(system, restricted);
  b.SetSecurity(setup, restricted);
  b.AddRawCell({'s', 't', 'r', 'a', 'y', ' ', 'c', 'e', 'l', 'l'});

  b.Build();
  b.SetU32(b.EntryOf(vendor).leafOffset, b.HashField(vendor), 0x12345678);
  b.SetU32(b.Offset(b.NkCell(software)), 0x18, 3);
  uint32_t sk = b.Offset(b.SkCell(restricted));
  b.SetU32(sk, 0x10, b.U32(sk, 0x10) + 1);
  b.RecomputeChecksum();
  b.SetFileU32(0x1FC, b.FileU32(0x1FC) ^ 0x00010000u);

  if (!b.WriteTo(argv[1])) {
    std::fprintf(stderr, "make_sample_hive: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
