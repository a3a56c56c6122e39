#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "wine_com4/prefix_files.h"

namespace {

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

std::string Directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Resolved(const std::string& path) {
  char* resolved = realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

// Whether another process holds a lock on the file (as a running wineserver does on "lock").
bool LockHeld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct flock query {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;  // l_start 0, l_len 0: the whole file
  const bool held = fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK;
  close(fd);
  return held;
}

bool WriteAll(int fd, const std::string& content) {
  std::size_t done = 0;
  while (done < content.size()) {
    const ssize_t written = write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

bool InGroupNow(gid_t group) {
  if (getegid() == group) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(NGROUPS_MAX));
  const int count = getgroups(static_cast<int>(groups.size()), groups.data());
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<std::size_t>(i)] == group) return true;
  }
  return false;
}

// Whether the user is listed as a member of the group (it applies from the next login).
bool ListedInGroup(const struct group* entry) {
  const struct passwd* user = getpwuid(getuid());
  if (user == nullptr) return false;
  if (user->pw_gid == entry->gr_gid) return true;
  for (char** member = entry->gr_mem; *member != nullptr; ++member) {
    if (std::strcmp(*member, user->pw_name) == 0) return true;
  }
  return false;
}

std::string GroupAdvice(const struct group* entry) {
  const std::string name = entry->gr_name;
  if (ListedInGroup(entry)) {
    return "this user is in the group '" + name +
           "', but this login is not yet: log out and in again";
  }
  return "join the group '" + name + "' (sudo usermod -aG " + name +
         " \"$USER\"), then log out and in again";
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* content, std::string* error) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = SystemError(path);
    return false;
  }
  std::string data;
  char buffer[65536];
  ssize_t got = 0;
  while ((got = read(fd, buffer, sizeof buffer)) != 0) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *error = SystemError(path);
      close(fd);
      return false;
    }
    data.append(buffer, static_cast<std::size_t>(got));
  }
  close(fd);
  *content = std::move(data);
  return true;
}

bool WineserverRunning(const std::string& prefix, std::string* where) {
  struct stat prefix_stat {};
  if (stat(prefix.c_str(), &prefix_stat) != 0) return false;
  char server[64];
  std::snprintf(server, sizeof server, "/server-%llx-%llx",
                static_cast<unsigned long long>(prefix_stat.st_dev),
                static_cast<unsigned long long>(prefix_stat.st_ino));

  std::vector<std::string> roots;
  std::string named;
  std::string ignored;
  if (ReadWholeFile(prefix + "/wineserver", &named, &ignored)) {
    while (!named.empty() && (named.back() == '\n' || named.back() == '\r')) named.pop_back();
    if (!named.empty() && named.find('/') == std::string::npos) roots.push_back("/tmp/" + named);
  }
  // The user whose Wine serves the prefix is its owner: Wine refuses another's prefix.
  roots.push_back("/tmp/.wine-" + std::to_string(prefix_stat.st_uid));
  if (getuid() != prefix_stat.st_uid) roots.push_back("/tmp/.wine-" + std::to_string(getuid()));

  for (const std::string& root : roots) {
    const std::string directory = root + server;
    if (LockHeld(directory + "/lock")) {
      *where = directory;
      return true;
    }
  }
  return false;
}

bool ReplaceFile(const std::string& path, const std::string& content, std::string* error) {
  struct stat old {};
  if (stat(path.c_str(), &old) != 0) {
    *error = SystemError(path);
    return false;
  }
  std::string temporary = path + ".panel-relay-com4.XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    *error = SystemError("cannot write in " + Directory(path));
    return false;
  }
  const bool written = WriteAll(fd, content) && fchmod(fd, old.st_mode & 07777) == 0 &&
                       (geteuid() != 0 || fchown(fd, old.st_uid, old.st_gid) == 0) &&
                       fsync(fd) == 0;
  const std::string write_error = written ? "" : SystemError(temporary);
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    *error = written ? SystemError(path) : write_error;
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool ReplaceSymlink(const std::string& link, const std::string& target, std::string* error) {
  const std::string temporary = link + ".panel-relay-com4." + std::to_string(getpid());
  unlink(temporary.c_str());
  if (symlink(target.c_str(), temporary.c_str()) != 0) {
    *error = SystemError("cannot make a link in " + Directory(link));
    return false;
  }
  struct stat directory {};
  const bool owned = geteuid() != 0 || stat(Directory(link).c_str(), &directory) != 0 ||
                     lchown(temporary.c_str(), directory.st_uid, directory.st_gid) == 0;
  if (!owned) {
    *error = SystemError("cannot give the link its directory's owner");
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), link.c_str()) != 0) {
    *error = SystemError(link);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

DeviceState InspectDevice(const std::string& path) {
  DeviceState state;
  struct stat device {};
  if (stat(path.c_str(), &device) != 0) return state;
  state.exists = true;
  state.character = S_ISCHR(device.st_mode);
  state.resolved = Resolved(path);
  state.usable = access(path.c_str(), R_OK | W_OK) == 0;
  if (state.usable) return state;
  const struct group* entry = getgrgid(device.st_gid);
  const bool group_may = (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  if (entry != nullptr && group_may && device.st_gid != 0) {
    state.advice = InGroupNow(device.st_gid)
                       ? "its group '" + std::string(entry->gr_name) + "' may, yet access is denied"
                       : GroupAdvice(entry);
  } else {
    state.advice = "only its owner may (is it the panel's device?)";
  }
  return state;
}

std::string StableDeviceName(const std::string& path) {
  static const std::string kById = "/dev/serial/by-id";
  if (path.rfind(kById + "/", 0) == 0) return {};
  const std::string device = Resolved(path);
  if (device.empty()) return {};
  DIR* directory = opendir(kById.c_str());
  if (directory == nullptr) return {};
  std::string found;
  while (const struct dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    const std::string name = kById + "/" + entry->d_name;
    if (Resolved(name) == device) {
      found = name;
      break;
    }
  }
  closedir(directory);
  return found;
}
