#include "platform/dynlib.h"

#include <climits>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <new>
#include <strings.h>

#include "platform/files.h"

struct plat_dynlib {
  void *handle;
};

namespace {

// "X.dll" is libX.so here; a name without the Windows suffix gets only the
// prefix and suffix added.
std::string system_file_name(const std::string &dll_name) {
  std::string stem = dll_name;
  if (stem.size() > 4 && strcasecmp(stem.c_str() + stem.size() - 4, ".dll") == 0)
    stem.resize(stem.size() - 4);
  return "lib" + stem + ".so";
}

} // namespace

#include "platform/library_dir.inc"

namespace {

void keep_loader_error(const char *fallback) {
  const char *text = dlerror();
  last_dynlib_error = text ? text : fallback;
}

} // namespace

extern "C" plat_dynlib *plat_dynlib_load(const char *dll_name) {
  if (!dll_name || !*dll_name) {
    last_dynlib_error = "no library name";
    return nullptr;
  }
  std::string path;
  try {
    path = library_load_path(system_file_name(dll_name));
  } catch (...) {
    last_dynlib_error = "out of memory";
    return nullptr;
  }
  void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    keep_loader_error("cannot load library");
    return nullptr;
  }
  auto *lib = new (std::nothrow) plat_dynlib{handle};
  if (!lib) {
    dlclose(handle);
    last_dynlib_error = "out of memory";
  }
  return lib;
}

extern "C" void *plat_dynlib_symbol(plat_dynlib *lib, const char *name) {
  if (!lib || !name) {
    last_dynlib_error = "no library or entry point name";
    return nullptr;
  }
  dlerror();
  void *symbol = dlsym(lib->handle, name);
  if (!symbol)
    keep_loader_error("undefined symbol");
  return symbol;
}

extern "C" void plat_dynlib_unload(plat_dynlib *lib) {
  if (!lib)
    return;
  dlclose(lib->handle);
  delete lib;
}

namespace {

struct ModuleSearch {
  const char *file_name;
  std::string path;
};

const char *base_name(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

int match_module(struct dl_phdr_info *info, size_t, void *data) {
  auto *search = static_cast<ModuleSearch *>(data);
  if (!info->dlpi_name || std::strcmp(base_name(info->dlpi_name), search->file_name) != 0)
    return 0;
  search->path = info->dlpi_name;
  return 1;
}

} // namespace

extern "C" bool plat_loaded_library_path(const char *dll_name, char *buffer, size_t bytes) {
  if (!dll_name)
    return false;
  try {
    std::string file_name = system_file_name(dll_name);
    ModuleSearch search{file_name.c_str(), {}};
    if (dl_iterate_phdr(match_module, &search) == 0)
      return false;
    return ferry::copy_fitting(search.path, buffer, bytes);
  } catch (...) {
    return false;
  }
}

extern "C" bool plat_file_version(const char *path, uint16_t parts[4]) {
  if (!path || !parts)
    return false;
  char real[PATH_MAX];
  if (!realpath(path, real))
    return false;
  const char *version = std::strstr(base_name(real), ".so.");
  if (!version)
    return false;
  version += 4;
  uint16_t found[4] = {0, 0, 0, 0};
  for (int i = 0; i < 4 && *version; ++i) {
    char *end = nullptr;
    unsigned long value = std::strtoul(version, &end, 10);
    if (end == version || value > 0xFFFF)
      return false;
    found[i] = static_cast<uint16_t>(value);
    if (*end != '.')
      break;
    version = end + 1;
  }
  std::memcpy(parts, found, sizeof found);
  return true;
}
