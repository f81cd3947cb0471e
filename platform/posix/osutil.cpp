#include "platform/osutil.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include "platform/text_copy_internal.h"

// There is no registry here: every lookup finds nothing.
extern "C" bool plat_registry_text(void *, const char *, const char *, char *buffer, size_t bytes) {
  ferry::clear_text(buffer, bytes);
  return false;
}

namespace {

// Reads byte ranges of a file that it checks against the file's size
// first, so no offset or size taken from the file can reach past its end.
class BoundedFile {
public:
  // Non-blocking, so that a FIFO given for a library does not wait for a
  // writer; it is refused as no regular file.
  explicit BoundedFile(const char *path) : fd_(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    struct stat status {};
    if (fd_ >= 0 && ::fstat(fd_, &status) == 0 && S_ISREG(status.st_mode))
      size_ = static_cast<uint64_t>(status.st_size);
  }
  ~BoundedFile() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  BoundedFile(const BoundedFile &) = delete;
  BoundedFile &operator=(const BoundedFile &) = delete;

  uint64_t size() const { return size_; }

  bool read(uint64_t offset, void *out, size_t bytes) const {
    if (fd_ < 0 || offset > size_ || bytes > size_ - offset)
      return false;
    auto *to = static_cast<char *>(out);
    while (bytes > 0) {
      ssize_t got = ::pread(fd_, to, bytes, static_cast<off_t>(offset));
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        return false;
      to += got;
      offset += static_cast<uint64_t>(got);
      bytes -= static_cast<size_t>(got);
    }
    return true;
  }

private:
  int fd_;
  uint64_t size_ = 0;
};

constexpr unsigned char kNativeClass = sizeof(ElfW(Addr)) == 8 ? ELFCLASS64 : ELFCLASS32;
constexpr unsigned char kNativeData =
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;

// An ELF object of this machine's class and byte order with a section
// header table of the expected entry size.
bool read_elf_header(const BoundedFile &file, ElfW(Ehdr) & header) {
  return file.read(0, &header, sizeof header) &&
         std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
         header.e_ident[EI_CLASS] == kNativeClass && header.e_ident[EI_DATA] == kNativeData &&
         header.e_shentsize == sizeof(ElfW(Shdr)) && header.e_shnum > 0;
}

bool read_section(const BoundedFile &file, const ElfW(Ehdr) & header, size_t index,
                  ElfW(Shdr) & section) {
  return index < header.e_shnum &&
         file.read(header.e_shoff + index * sizeof section, &section, sizeof section);
}

// The string-table offset of the DT_SONAME entry of a dynamic section.
bool soname_offset(const BoundedFile &file, const ElfW(Shdr) & dynamic, uint64_t &offset) {
  size_t entries = dynamic.sh_size / sizeof(ElfW(Dyn));
  for (size_t i = 0; i < entries; ++i) {
    ElfW(Dyn) entry;
    if (!file.read(dynamic.sh_offset + i * sizeof entry, &entry, sizeof entry) ||
        entry.d_tag == DT_NULL)
      return false;
    if (entry.d_tag == DT_SONAME) {
      offset = entry.d_un.d_val;
      return true;
    }
  }
  return false;
}

// The text at `offset` of a string table, which must end inside the table
// and fit the buffer.
bool read_table_text(const BoundedFile &file, const ElfW(Shdr) & table, uint64_t offset,
                     char *buffer, size_t bytes) {
  if (offset >= table.sh_size)
    return false;
  uint64_t room = table.sh_size - offset;
  size_t wanted = room < bytes ? static_cast<size_t>(room) : bytes;
  if (!file.read(table.sh_offset + offset, buffer, wanted))
    return false;
  if (!std::memchr(buffer, '\0', wanted)) {
    buffer[0] = '\0';
    return false;
  }
  return buffer[0] != '\0';
}

// The SONAME a shared library names itself by: the library's internal name.
bool read_soname(const char *path, char *buffer, size_t bytes) {
  BoundedFile file(path);
  ElfW(Ehdr) header;
  if (!read_elf_header(file, header))
    return false;
  for (size_t i = 0; i < header.e_shnum; ++i) {
    ElfW(Shdr) section, strings;
    if (!read_section(file, header, i, section))
      return false;
    if (section.sh_type != SHT_DYNAMIC)
      continue;
    uint64_t offset = 0;
    return read_section(file, header, section.sh_link, strings) && strings.sh_type == SHT_STRTAB &&
           soname_offset(file, section, offset) &&
           read_table_text(file, strings, offset, buffer, bytes);
  }
  return false;
}

} // namespace

extern "C" bool plat_module_internal_name(const char *path, char *buffer, size_t bytes) {
  if (!path || !buffer || bytes == 0)
    return false;
  if (read_soname(path, buffer, bytes))
    return true;
  buffer[0] = '\0';
  return false;
}

extern "C" bool plat_dll_get_version(void *module, uint8_t record[PLAT_DLL_VERSION_RECORD_BYTES]) {
  if (!module || !record)
    return false;
  using DllGetVersionFn = int32_t (*)(void *);
  auto get_version = reinterpret_cast<DllGetVersionFn>(dlsym(module, "DllGetVersion"));
  if (!get_version)
    return false;
  std::memset(record, 0, PLAT_DLL_VERSION_RECORD_BYTES);
  const uint32_t size = PLAT_DLL_VERSION_RECORD_BYTES;
  std::memcpy(record, &size, sizeof size);
  // A negative result is a failure, as a Windows HRESULT is.
  return get_version(record) >= 0;
}

// One tree holds every file here: its one root is "/".
extern "C" size_t plat_logical_drives(char *buffer, size_t bytes) {
  static const char kRoots[] = "/\0";
  if (!buffer || bytes < sizeof kRoots)
    return 0;
  std::memcpy(buffer, kRoots, sizeof kRoots);
  return sizeof kRoots - 1;
}

extern "C" size_t plat_native_root_length(const char *path) {
  return path && path[0] == '/' ? 1 : 0;
}

namespace {

// The Windows error nearest to each errno a volume query may fail with.
uint32_t nearest_windows_error(int error) {
  static constexpr struct {
    int error;
    uint32_t windows_error;
  } kNearest[] = {
      {ENOENT, 3},     {ENOTDIR, 3}, {EMFILE, 4},  {ENFILE, 4},
      {EACCES, 5},     {EPERM, 5},   {ENODEV, 15}, {ENXIO, 15},
#ifdef ENOMEDIUM
      {ENOMEDIUM, 21},
#endif
  };
  for (const auto &entry : kNearest)
    if (entry.error == error)
      return entry.windows_error;
  return 3;
}

} // namespace

// Only a root of this system's own tree names a volume here; a drive or
// network root is no path of it.
extern "C" uint32_t plat_volume_query(const char *root) {
  if (!root || root[0] != '/')
    return nearest_windows_error(ENOENT);
  struct statvfs info {};
  if (::statvfs(root, &info) == 0)
    return 0;
  return nearest_windows_error(errno);
}

struct plat_module_list {
  std::vector<std::string> paths; // the program first, then the libraries
  std::vector<void *> handles;    // taken when first asked for
};

namespace {

std::string program_path() {
  std::string path(4096, '\0');
  ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  path.resize(n > 0 && static_cast<size_t>(n) < path.size() ? static_cast<size_t>(n) : 0);
  return path;
}

// The loader reports the program first, with no name. Every other object
// with a file has a path; one without (the kernel's virtual library) is
// left out, as it has no file to describe.
int collect_module(struct dl_phdr_info *info, size_t, void *data) {
  auto *list = static_cast<plat_module_list *>(data);
  const char *name = info->dlpi_name ? info->dlpi_name : "";
  try {
    if (list->paths.empty())
      list->paths.push_back(name[0] ? name : program_path());
    else if (std::strchr(name, '/'))
      list->paths.push_back(name);
  } catch (...) {
    return 1;
  }
  return 0;
}

} // namespace

extern "C" plat_module_list_status plat_module_list_open(plat_module_list **list) {
  if (!list)
    return PLAT_MODULES_ENUM_FAILED;
  *list = nullptr;
  auto *modules = new (std::nothrow) plat_module_list;
  if (!modules)
    return PLAT_MODULES_ENUM_FAILED;
  try {
    if (dl_iterate_phdr(collect_module, modules) != 0)
      throw std::bad_alloc();
    size_t held = std::min<size_t>(modules->paths.size(), PLAT_MODULE_LIST_ROOM);
    modules->handles.assign(held, nullptr);
  } catch (...) {
    delete modules;
    return PLAT_MODULES_ENUM_FAILED;
  }
  *list = modules;
  return PLAT_MODULES_OK;
}

extern "C" size_t plat_module_list_count(const plat_module_list *list) {
  return list ? list->paths.size() : 0;
}

extern "C" bool plat_module_list_path(const plat_module_list *list, size_t index, char *buffer,
                                      size_t bytes) {
  if (!list || index >= list->handles.size())
    return false;
  const std::string &path = list->paths[index];
  return !path.empty() && ferry::copy_fitting(path, buffer, bytes);
}

extern "C" void *plat_module_list_handle(plat_module_list *list, size_t index) {
  if (!list || index >= list->handles.size())
    return nullptr;
  if (!list->handles[index] && index > 0)
    list->handles[index] = plat_module_find(list->paths[index].c_str());
  return list->handles[index];
}

extern "C" void plat_module_list_close(plat_module_list *list) {
  if (!list)
    return;
  for (void *handle : list->handles)
    plat_module_release(handle);
  delete list;
}

// RTLD_NOLOAD finds the loaded object without loading anything or running
// its initialisers; the reference it takes is dropped by the release.
extern "C" void *plat_module_find(const char *path) {
  if (!path || !*path)
    return nullptr;
  return dlopen(path, RTLD_LAZY | RTLD_NOLOAD);
}

extern "C" void plat_module_release(void *module) {
  if (module)
    dlclose(module);
}

extern "C" bool plat_file_size_and_time(const char *path, int64_t *size, int64_t *modified) {
  struct stat status {};
  if (!path || ::stat(path, &status) != 0)
    return false;
  if (size)
    *size = status.st_size;
  if (modified)
    *modified = status.st_mtime;
  return true;
}
