// Wine registry files as text: the value found, and set without disturbing any other line.
#include "wine_com4/wine_registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr const char* kKey = "Software\\Wine\\Ports";

// As Wine writes a prefix's system.reg, the Ports key without values, a key with a continued
// hex value after it.
const std::string kFile =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\Machine\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Wine\\\\Ports] 1796849909\n"
    "#time=1dd88200ab50eb4\n"
    "\n"
    "[Software\\\\Wow6432Node\\\\Wine\\\\Ports] 1796849909\n"
    "#time=1dd88200ab4f85c\n"
    "#link\n"
    "\"SymbolicLinkValue\"=hex(6):5c,00,52,00,\\\n"
    "  45,00\n";

std::string Set(const std::string& file, const std::string& value) {
  std::string out;
  EXPECT_TRUE(SetRegistryString(file, kKey, "COM4", value, 1234, &out));
  return out;
}

TEST(WineRegistryTest, ValueIsAddedUnderTheKeyAndEveryOtherLineKept) {
  const std::string once = Set(kFile, "/dev/serial/by-id/usb-X-if00");
  const std::string line = "\"COM4\"=\"/dev/serial/by-id/usb-X-if00\"\n";
  // Right after the key's line and metadata; the rest byte for byte.
  const std::size_t after_meta = kFile.find("#time=1dd88200ab50eb4\n") + 22;
  EXPECT_EQ(once, kFile.substr(0, after_meta) + line + kFile.substr(after_meta));

  const RegistryValue found = FindRegistryValue(once, kKey, "COM4");
  EXPECT_TRUE(found.key_found && found.value_found && found.is_string);
  EXPECT_EQ(found.data, "/dev/serial/by-id/usb-X-if00");
  // The other key of the same last name is another key: not found through this one.
  EXPECT_FALSE(FindRegistryValue(once, "Software\\Wow6432Node\\Wine\\Ports", "COM4").value_found);

  // Set again: replaced in place, names compared without case, nothing else changes.
  std::string lower = once;
  lower.replace(lower.find("\"COM4\""), 6, "\"com4\"");
  const std::string twice = Set(lower, "/dev/ttyACM1");
  EXPECT_EQ(twice,
            kFile.substr(0, after_meta) + "\"COM4\"=\"/dev/ttyACM1\"\n" + kFile.substr(after_meta));
  EXPECT_EQ(Set(twice, "/dev/ttyACM1"), twice);
}

TEST(WineRegistryTest, KeyIsAppendedWhenMissingAndLineEndsFollowTheFile) {
  const std::string file = "WINE REGISTRY Version 2\n\n[Software\\\\Other] 1\n\"A\"=\"b\"";
  EXPECT_EQ(Set(file, "/dev/ttyUSB0"),
            file + "\n\n[Software\\\\Wine\\\\Ports] 1234\n\"COM4\"=\"/dev/ttyUSB0\"\n");
  EXPECT_FALSE(FindRegistryValue(file, kKey, "COM4").key_found);

  const std::string crlf = "WINE REGISTRY Version 2\r\n\r\n[Software\\\\Wine\\\\Ports] 1\r\n";
  EXPECT_EQ(Set(crlf, "/dev/x"), crlf + "\"COM4\"=\"/dev/x\"\r\n");
  // A file whose lines end in more than one way (found by fuzzing: a last line ending in a bare
  // CR, finished by the first setting, made the second see CRLF): a value set again keeps the
  // end its line has, so that setting it again changes nothing.
  const std::string bare_cr = Set("[Software\\\\Other] 1\r", "/dev/y");
  EXPECT_EQ(bare_cr,
            "[Software\\\\Other] 1\r\n\n[Software\\\\Wine\\\\Ports] 1234\n\"COM4\"=\"/dev/y\"\n");
  EXPECT_EQ(Set(bare_cr, "/dev/y"), bare_cr);
  // A key's line that ends the file without a line end is not run into.
  EXPECT_EQ(Set("[Software\\\\Wine\\\\Ports] 1", "/dev/x"),
            "[Software\\\\Wine\\\\Ports] 1\n\"COM4\"=\"/dev/x\"\n");
}

TEST(WineRegistryTest, OnlyTheKeyItselfMatchesWhateverItsCase) {
  // Keys whose names start with the Ports key's, or with which its name starts, are others:
  // Wine never looks there, so the value goes into a Ports key of its own.
  const std::string others =
      "WINE REGISTRY Version 2\n\n"
      "[Software\\\\Wine\\\\PortsX] 1\n\"COM4\"=\"/dev/a\"\n\n"
      "[Software\\\\Wine\\\\Ports\\\\Sub] 1\n\"COM4\"=\"/dev/b\"\n\n"
      "[Software\\\\Wine] 1\n\"COM4\"=\"/dev/c\"\n";
  const RegistryValue none = FindRegistryValue(others, kKey, "COM4");
  EXPECT_FALSE(none.key_found);
  EXPECT_FALSE(none.value_found);
  EXPECT_EQ(Set(others, "/dev/x"),
            others + "\n[Software\\\\Wine\\\\Ports] 1234\n\"COM4\"=\"/dev/x\"\n");

  // Windows compares key names without case, and so does Wine: a key written in lower case is
  // the Ports key, found, and its value replaced in place.
  const std::string lower = "[software\\\\wine\\\\ports] 1\n\"COM4\"=\"/dev/a\"\n";
  const RegistryValue found = FindRegistryValue(lower, kKey, "COM4");
  EXPECT_TRUE(found.key_found && found.value_found && found.is_string);
  EXPECT_EQ(found.data, "/dev/a");
  EXPECT_EQ(Set(lower, "/dev/x"), "[software\\\\wine\\\\ports] 1\n\"COM4\"=\"/dev/x\"\n");
}

TEST(WineRegistryTest, OtherDataTypesAreReplacedWithTheirContinuationLines) {
  const std::string file =
      "[Software\\\\Wine\\\\Ports] 1\n"
      "\"COM4\"=hex:2f,64,\\\n"
      "  65,76\n"
      "\"COM5\"=\"/dev/ttyS4\"\n";
  const RegistryValue found = FindRegistryValue(file, kKey, "COM4");
  EXPECT_TRUE(found.value_found);
  EXPECT_FALSE(found.is_string);
  EXPECT_EQ(found.data, "hex:2f,64,\\");
  EXPECT_EQ(Set(file, "/dev/y"),
            "[Software\\\\Wine\\\\Ports] 1\n\"COM4\"=\"/dev/y\"\n\"COM5\"=\"/dev/ttyS4\"\n");
}

TEST(WineRegistryTest, StringsAreEscapedAsWineReadsThem) {
  std::string escaped;
  ASSERT_TRUE(
      EscapeRegistryString("/dev/a\"b\\c\t\xC3\xA9\xF0\x9F\x98\x80"
                           "1",
                           &escaped));
  // Four hex digits always, so that the '1' after the last one is not read into it.
  EXPECT_EQ(escaped, "/dev/a\\\"b\\\\c\\x0009\\x00e9\\xd83d\\xde001");
  EXPECT_EQ(UnescapeRegistryString(escaped),
            "/dev/a\"b\\c\t\xC3\xA9\xF0\x9F\x98\x80"
            "1");
  // What Wine itself writes: short hex, octal and letter escapes.
  EXPECT_EQ(UnescapeRegistryString("a\\x41\\101\\n\\\"\\xz"), "aAA\n\"xz");

  // Not UTF-8 (a stray continuation byte, an overlong slash, a surrogate): refused, untouched.
  std::string out = "untouched";
  for (const char* bad : {"/dev/\x80", "/dev/\xC0\xAF", "/dev/\xED\xA0\x80", "/dev/\xE2\x82"}) {
    EXPECT_FALSE(SetRegistryString(kFile, kKey, "COM4", bad, 1, &out)) << bad;
    EXPECT_EQ(out, "untouched");
  }
}

}  // namespace
