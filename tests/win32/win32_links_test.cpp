// The Win32 layer under Wine: the port's records byte for byte, the mapping failure path, and
// the resources the executable carries.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "panel_link/panel_link_win32.h"
#include "sim_link/sim_link.h"

namespace {

std::string executable_path;  // panel-relay.exe, from the command line

std::vector<std::uint8_t> BytesOf(const void* record, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(record);
  return std::vector<std::uint8_t>(bytes, bytes + size);
}

TEST(LineSettings, AreTheZeroRecordWithOnlyTheLineFieldsSet) {
  const DCB settings = BuildLineSettings();
  ASSERT_EQ(sizeof settings, 28u);
  const std::vector<std::uint8_t> expected = {
      0x1C, 0x00, 0x00, 0x00,        // DCBlength 28
      0xB0, 0x04, 0x00, 0x00,        // BaudRate 1200
      0x01, 0x00, 0x00, 0x00,        // fBinary only: no parity check, flow control, DTR/RTS off ...
      0x00, 0x00,                    // wReserved
      0x00, 0x00,                    // XonLim
      0x00, 0x00,                    // XoffLim
      0x08,                          // ByteSize
      0x00,                          // Parity: NOPARITY
      0x00,                          // StopBits: ONESTOPBIT
      0x00, 0x00, 0x00, 0x00, 0x00,  // XonChar, XoffChar, ErrorChar, EofChar, EvtChar
      0x00, 0x00,                    // wReserved1
  };
  EXPECT_EQ(BytesOf(&settings, sizeof settings), expected);
  EXPECT_EQ(settings.fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
  EXPECT_EQ(settings.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
}

TEST(PortTimeouts, AreTheFiveValues) {
  const COMMTIMEOUTS timeouts = BuildPortTimeouts();
  ASSERT_EQ(sizeof timeouts, 20u);
  const std::vector<std::uint8_t> expected = {
      20,  0, 0, 0,  // ReadIntervalTimeout
      10,  0, 0, 0,  // ReadTotalTimeoutMultiplier
      100, 0, 0, 0,  // ReadTotalTimeoutConstant
      10,  0, 0, 0,  // WriteTotalTimeoutMultiplier
      100, 0, 0, 0,  // WriteTotalTimeoutConstant
  };
  EXPECT_EQ(BytesOf(&timeouts, sizeof timeouts), expected);
}

TEST(MapSimulatorArea, ReportsThePlatformErrorAndClosesTheHandle) {
  // An event is a handle but not a file mapping: the mapping must fail.
  HANDLE not_a_mapping = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(not_a_mapping, nullptr);
  // What the platform itself says to the same call, for the expected code.
  ASSERT_EQ(MapViewOfFile(not_a_mapping, FILE_MAP_READ, 0, 0, 0), nullptr);
  const int expected_code = static_cast<int>(GetLastError());
  ASSERT_NE(expected_code, 0);

  SimulatorArea area{};
  area.handle = not_a_mapping;
  testing::internal::CaptureStdout();
  const bool mapped = MapSimulatorArea(&area);
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_FALSE(mapped);
  EXPECT_EQ(output, "Error accessing Falcon BMS (" + std::to_string(expected_code) + ").\n");
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(not_a_mapping, &flags)) << "the handle is still open";
}

TEST(MapSimulatorArea, ViewLengthIsTheMappedRegion) {
  HANDLE mapping =
      CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 300, nullptr);
  ASSERT_NE(mapping, nullptr);
  SimulatorArea area{};
  area.handle = mapping;
  ASSERT_TRUE(MapSimulatorArea(&area));
  // Views are whole pages: a 300-byte area is readable up to the end of its page.
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  EXPECT_EQ(area.view.length, system.dwPageSize);
  CloseSimulatorArea(area);
}

std::vector<std::wstring> ManifestNames(HMODULE module) {
  std::vector<std::wstring> names;
  EnumResourceNamesW(
      module, MAKEINTRESOURCEW(24),
      [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) -> BOOL {
        auto* found = reinterpret_cast<std::vector<std::wstring>*>(list);
        found->push_back(IS_INTRESOURCE(name) ? std::to_wstring(reinterpret_cast<ULONG_PTR>(name))
                                              : std::wstring(name));
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&names));
  return names;
}

TEST(Executable, CarriesOneAsInvokerManifestAndItsVersion) {
  ASSERT_FALSE(executable_path.empty()) << "give the path of panel-relay.exe";
  HMODULE module = LoadLibraryExA(executable_path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);

  const std::vector<std::wstring> names = ManifestNames(module);
  ASSERT_EQ(names.size(), 1u);
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(module, found)));
  const std::string manifest(text, SizeofResource(module, found));
  EXPECT_NE(manifest.find(R"(level="asInvoker")"), std::string::npos);
  EXPECT_NE(manifest.find(R"(uiAccess="false")"), std::string::npos);
  FreeLibrary(module);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(executable_path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(executable_path.c_str(), 0, size, info.data()));
  char* version = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductVersion",
                             reinterpret_cast<void**>(&version), &length));
  EXPECT_STREQ(version, PANEL_RELAY_VERSION);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc > 1) executable_path = argv[1];
  return RUN_ALL_TESTS();
}
