// panel-relay-com4: gives a Wine prefix a COM4 that Wine keeps, or shows what COM4 is there.
//
//   panel-relay-com4 PREFIX DEVICE   the registry value COM4 = DEVICE under
//                                    HKLM\Software\Wine\Ports, and dosdevices/com4 -> DEVICE
//   panel-relay-com4 PREFIX          what COM4 is in the prefix now
//
// At each start of a prefix Wine gives COM1, COM2, ... to the serial devices it finds, replacing
// links of those names; it keeps only the ports named in the registry. So a link made by hand
// becomes /dev/ttyS3 on a PC with four serial ports, while the registry value holds.
//
// No Wine program is started: another Wine build than the simulator's would update the prefix
// for itself. system.reg is edited as text, which is sound only while no wineserver runs for the
// prefix (the server writes its own copy back when it ends), so a running one is refused.
//
// Root may run it on another user's prefix. The prefix's owner controls what is in it, so
// nothing there is followed out of it: a system.reg that is a link or not the owner's own file,
// a dosdevices that is a link or no directory, are refused.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "wine_com4/prefix_files.h"
#include "wine_com4/wine_registry.h"

namespace {

constexpr const char* kPortsKey = "Software\\Wine\\Ports";
constexpr const char* kPortsKeyShown = "HKLM\\Software\\Wine\\Ports";
constexpr const char* kValue = "COM4";

// To standard output when asked for (--help), to standard error after a wrong command line.
void Usage(std::FILE* to) {
  std::fprintf(to,
               "usage: panel-relay-com4 PREFIX [DEVICE] | --help | --version\n"
               "  PREFIX  the simulator's Wine prefix (the directory that holds system.reg)\n"
               "  DEVICE  the panel's serial device, best its name under /dev/serial/by-id/\n"
               "With DEVICE, gives the prefix a COM4 that Wine keeps: the registry value COM4 =\n"
               "DEVICE under %s and the link dosdevices/com4 -> DEVICE.\n"
               "Run it while the simulator is not running. Without DEVICE, shows what COM4 is.\n",
               kPortsKeyShown);
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "panel-relay-com4: %s\n", message.c_str());
  return 1;
}

std::string TrimmedPrefix(std::string prefix) {
  while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
  return prefix;
}

// The prefix as the tool works on it: its directory, open, and its registry file, read.
struct Prefix {
  std::string path;  // as given (without trailing slashes), for messages
  int directory = -1;
  struct stat directory_stat {};
  std::string registry_path;
  struct stat registry_stat {};
  std::string registry;
};

// Opens the prefix and reads its system.reg; on a refusal, its exit status in *status.
bool OpenPrefix(const std::string& path, Prefix* prefix, int* status) {
  prefix->path = path;
  prefix->registry_path = path + "/system.reg";
  const std::string not_a_prefix =
      path + " is not a Wine prefix (it has no system.reg); nothing was changed";
  // Only reached through, never read: a directory the user may pass through is enough.
  prefix->directory = open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (prefix->directory < 0 || fstat(prefix->directory, &prefix->directory_stat) != 0) {
    *status = Fail(not_a_prefix);
    return false;
  }
  const int fd = OpenRegularFile(prefix->directory, "system.reg", &prefix->registry_stat);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      *status = Fail(not_a_prefix);
    } else if (errno == ELOOP) {
      *status = Fail(prefix->registry_path +
                     " is a symbolic link: only the prefix's own file is read and written, not "
                     "what a link leads to; nothing was changed");
    } else if (errno == EINVAL) {
      *status = Fail(prefix->registry_path + " is not a regular file; nothing was changed");
    } else {
      *status = Fail(prefix->registry_path + ": " + std::strerror(errno));
    }
    return false;
  }
  std::string error;
  const bool read = ReadAll(fd, prefix->registry_path, &prefix->registry, &error);
  close(fd);
  if (!read) {
    *status = Fail(error);
    return false;
  }
  // The prefix's owner's Wine writes the file; another's file (root's, linked in) is not it.
  if (prefix->registry_stat.st_uid != prefix->directory_stat.st_uid) {
    *status = Fail(prefix->registry_path + " belongs to " + UserName(prefix->registry_stat.st_uid) +
                   ", the prefix to " + UserName(prefix->directory_stat.st_uid) +
                   ": it is not the registry of the prefix's Wine; nothing was changed");
    return false;
  }
  return true;
}

// The group that may use serial devices on this system, for a device that is not there.
std::string SerialGroup() {
  for (const char* name : {"dialout", "uucp"}) {
    if (getgrnam(name) != nullptr) return name;
  }
  return {};
}

// One device, as the show form and the set form describe it (the indent given), with its stable
// name where asked: whether it exists.
bool DescribeDevice(const std::string& path, const char* indent, bool with_stable_name) {
  const DeviceState state = InspectDevice(path);
  if (!state.exists) {
    const std::string group = SerialGroup();
    std::printf("%sleads to nothing: no such device now (is the panel plugged in?)\n", indent);
    if (!group.empty()) {
      std::printf("%sserial devices here belong to the group '%s'\n", indent, group.c_str());
    }
    return false;
  }
  const std::string where = state.resolved == path ? "" : "leads to " + state.resolved + ", ";
  std::printf("%s%s%s; this user %s\n", indent, where.c_str(),
              state.character ? "a character device" : "not a device",
              state.usable ? "may read and write it" : "may not read and write it");
  if (!state.usable) std::printf("%s%s\n", indent, state.advice.c_str());
  const std::string stable = with_stable_name ? StableDeviceName(path) : "";
  if (!stable.empty()) {
    std::printf("%sits stable name, which follows the adapter to another node, is\n%s%s\n", indent,
                indent, stable.c_str());
  }
  return true;
}

int Show(const Prefix& opened) {
  const std::string& prefix = opened.path;
  const RegistryValue value = FindRegistryValue(opened.registry, kPortsKey, kValue);
  const std::string link = prefix + "/dosdevices/com4";
  char target[4096];
  const ssize_t length = readlinkat(opened.directory, "dosdevices/com4", target, sizeof target - 1);
  const bool has_link = length >= 0;
  const std::string link_target =
      has_link ? std::string(target, static_cast<std::size_t>(length)) : "";

  const bool value_is_string = value.value_found && value.is_string;
  bool value_leads_to_a_device = false;
  std::printf("COM4 in the Wine prefix %s\n", prefix.c_str());
  if (value_is_string) {
    std::printf("  registry: %s \"%s\" = %s\n", kPortsKeyShown, kValue, value.data.c_str());
    value_leads_to_a_device = DescribeDevice(value.data, "            ", true);
  } else if (value.value_found) {
    std::printf("  registry: %s \"%s\" is not a string: %s\n", kPortsKeyShown, kValue,
                value.data.c_str());
  } else {
    std::printf("  registry: no value \"%s\" under %s\n", kValue, kPortsKeyShown);
  }
  if (has_link) {
    std::printf("  link:     %s -> %s\n", link.c_str(), link_target.c_str());
    DescribeDevice(link_target, "            ", true);
  } else {
    std::printf("  link:     no %s\n", link.c_str());
  }

  std::string server;
  if (WineserverRunning(opened.directory, &server)) {
    std::printf(
        "A wineserver runs for this prefix now (%s): Wine reads the registry value\n"
        "again at the prefix's next start.\n",
        server.c_str());
  }
  if (value_is_string && !value_leads_to_a_device) {
    // Wine opens a port it made at the prefix's start even when its device is gone.
    std::printf(
        "While it leads to nothing, panel-relay.exe still opens COM4 under Wine (and\n"
        "relays to nothing): plug the panel in before starting it.\n");
  }
  if (value_is_string) {
    if (!has_link || link_target != value.data) {
      std::printf("At the prefix's next start Wine makes the link lead to %s.\n",
                  value.data.c_str());
    } else {
      std::printf("Wine keeps this COM4 at every start of the prefix.\n");
    }
  } else if (has_link) {
    std::printf(
        "Without the registry value Wine replaces this link at the prefix's next start\n"
        "when it finds four serial devices (most PCs have /dev/ttyS0 to /dev/ttyS3).\n"
        "To keep COM4: panel-relay-com4 %s DEVICE\n",
        prefix.c_str());
  } else {
    std::printf("To give the prefix a COM4: panel-relay-com4 %s DEVICE\n", prefix.c_str());
  }
  return 0;
}

int Set(const Prefix& opened, const std::string& device) {
  const std::string& prefix = opened.path;
  if (device.empty() || device[0] != '/') {
    return Fail("DEVICE must be an absolute path, such as /dev/serial/by-id/usb-...: '" + device +
                "' is not");
  }
  const DeviceState state = InspectDevice(device);
  if (!state.exists) {
    return Fail(device + " does not exist (is the panel plugged in? ls -l /dev/serial/by-id/ " +
                "lists the USB serial adapters); nothing was changed");
  }
  if (!state.character) {
    return Fail(device + " is not a serial device (not a character device); nothing was changed");
  }
  std::string server;
  if (WineserverRunning(opened.directory, &server)) {
    return Fail("a wineserver runs for " + prefix + " (" + server +
                "): the simulator or another program is running in the prefix. End them, then " +
                "run this again; Wine reads COM4 at the prefix's next start. Nothing was changed");
  }

  const std::string dosdevices = prefix + "/dosdevices";
  const DirectoryEntry links = LookAt(opened.directory, "dosdevices");
  if (links.link) {
    return Fail(dosdevices + " is a symbolic link, not a directory of the prefix: the link com4 " +
                "would be made where it leads; nothing was changed");
  }
  if (links.exists && !S_ISDIR(links.status.st_mode)) {
    return Fail(dosdevices + " is not a directory; nothing was changed");
  }

  std::string updated;
  if (!SetRegistryString(opened.registry, kPortsKey, kValue, device,
                         static_cast<long long>(std::time(nullptr)), &updated)) {
    return Fail(device + " is not valid UTF-8; nothing was changed");
  }
  std::string error;
  if (updated != opened.registry &&
      !ReplaceFile(opened.directory, "system.reg", opened.registry_path, opened.registry_stat,
                   updated, &error)) {
    return Fail("cannot write " + opened.registry_path + " (" + error + "); nothing was changed");
  }
  // Wine makes dosdevices at the prefix's first start; it is there after that. Made here, it is
  // the prefix owner's, as Wine's would be.
  // One it cannot give to that owner is taken away again: the owner's Wine could not write in it.
  if (!links.exists && mkdirat(opened.directory, "dosdevices", 0755) == 0 && geteuid() == 0 &&
      fchownat(opened.directory, "dosdevices", opened.directory_stat.st_uid,
               opened.directory_stat.st_gid, AT_SYMLINK_NOFOLLOW) != 0) {
    const std::string reason = std::strerror(errno);
    unlinkat(opened.directory, "dosdevices", AT_REMOVEDIR);
    return Fail("the registry value is set, but the link is not (cannot give " + dosdevices +
                " to the prefix's owner: " + reason +
                "); Wine makes it at the prefix's next start");
  }
  bool linked = false;
  const int links_fd = OpenSubdirectory(opened.directory, "dosdevices");
  if (links_fd < 0) {
    error = "cannot make a link in " + dosdevices + ": " + std::strerror(errno);
  } else {
    linked = ReplaceSymlink(links_fd, "com4", dosdevices + "/com4", device, &error);
    close(links_fd);
  }
  if (!linked) {
    return Fail("the registry value is set, but the link is not (" + error +
                "); Wine makes it at the prefix's next start");
  }

  std::printf("COM4 of the Wine prefix %s is now %s:\n", prefix.c_str(), device.c_str());
  std::printf("  registry: %s \"%s\" = %s\n", kPortsKeyShown, kValue, device.c_str());
  std::printf("  link:     %s/com4 -> %s\n", dosdevices.c_str(), device.c_str());
  DescribeDevice(device, "            ", false);  // the stable name gets a note of its own
  std::printf(
      "Wine keeps it at every start of the prefix; the serial ports it finds take the\n"
      "other numbers.\n");
  const std::string stable = StableDeviceName(device);
  if (!stable.empty()) {
    std::printf(
        "Note: %s is a name the kernel gives in turn; should the panel come back as\n"
        "another node, COM4 would miss it. Its stable name follows it:\n"
        "  panel-relay-com4 %s %s\n",
        device.c_str(), prefix.c_str(), stable.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("panel-relay-com4 %s\n", PANEL_RELAY_VERSION);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    Usage(stdout);
    return 0;
  }
  if (argc < 2 || argc > 3 || argv[1][0] == '-') {
    Usage(stderr);
    return 2;
  }
  Prefix prefix;
  int status = 0;
  if (!OpenPrefix(TrimmedPrefix(argv[1]), &prefix, &status)) return status;
  status = argc == 2 ? Show(prefix) : Set(prefix, argv[2]);
  close(prefix.directory);
  return status;
}
