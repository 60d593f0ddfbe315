#include "core_binding.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <link.h>
#include <string>

namespace pelnet {
namespace {

#ifdef MFD_EXEC
constexpr unsigned kMemfdExec = MFD_EXEC;
#else
constexpr unsigned kMemfdExec = 0x0010U;
#endif

// How loading the image from a memory file ended.
enum class ImageLoad { Loaded, Broken, Unsupported };

bool writeAll(int fd, const unsigned char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Whether [data, data + size) lies wholly in a read-only loadable segment of
// a loaded object (an image embedded in the program): its pages then come
// back from the file whenever they are touched again.
bool inReadOnlySegment(const unsigned char *data, std::size_t size) {
  struct Range {
    std::uintptr_t begin, end;
    bool found;
  } range{reinterpret_cast<std::uintptr_t>(data), reinterpret_cast<std::uintptr_t>(data) + size,
          false};
  ::dl_iterate_phdr(
      [](dl_phdr_info *info, std::size_t, void *arg) {
        auto *r = static_cast<Range *>(arg);
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr) &ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_LOAD || (ph.p_flags & PF_W) != 0) continue;
          const std::uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
          if (r->begin >= begin && r->end <= begin + ph.p_filesz) r->found = true;
        }
        return r->found ? 1 : 0;
      },
      &range);
  return range.found;
}

// Writes the image in pieces; an image embedded in the program gives its
// pages back after each piece, so that copying it does not hold all of it
// (up to several megabytes a core) in memory at once.
bool copyImage(int fd, const unsigned char *data, std::size_t size) {
  if (!inReadOnlySegment(data, size)) return writeAll(fd, data, size);
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  constexpr std::size_t piece = std::size_t(1) << 20;
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(data) + page - 1) & ~(page - 1);
  for (std::size_t done = 0; done < size;) {
    const std::size_t n = std::min(piece, size - done);
    if (!writeAll(fd, data + done, n)) return false;
    done += n;
    // Only whole pages of the image, never a neighbour's.
    const std::uintptr_t last = (reinterpret_cast<std::uintptr_t>(data) + done) & ~(page - 1);
    if (last > first) ::madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED);
  }
  return true;
}

// The loader maps the image's segments straight from the file: a segment
// that reaches past the end of a truncated image would fault on first touch
// (SIGBUS) instead of failing to load.  So the headers and every loadable
// segment must lie inside the bytes before the loader sees them.
bool plausibleImage(const CoreImage &image) {
  using Ehdr = ElfW(Ehdr);
  using Phdr = ElfW(Phdr);
  if (image.size < sizeof(Ehdr)) return false;
  Ehdr eh;
  std::memcpy(&eh, image.data, sizeof eh);
  if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_type != ET_DYN ||
      eh.e_phentsize != sizeof(Phdr) || eh.e_phnum == 0)
    return false;
  const std::size_t tableEnd = std::size_t(eh.e_phoff) + std::size_t(eh.e_phnum) * sizeof(Phdr);
  if (eh.e_phoff >= image.size || tableEnd > image.size) return false;
  for (std::size_t i = 0; i < eh.e_phnum; ++i) {
    Phdr ph;
    std::memcpy(&ph, image.data + eh.e_phoff + i * sizeof(Phdr), sizeof ph);
    if (ph.p_type != PT_LOAD && ph.p_type != PT_DYNAMIC) continue;
    if (ph.p_offset > image.size || ph.p_filesz > image.size - ph.p_offset) return false;
  }
  return true;
}

// Whether the system lets code run from the memory file at all (a policy
// may forbid executable mappings of it); if not, the bytes cannot be loaded
// from there whatever they hold.
bool executable(int fd) {
  const long page = ::sysconf(_SC_PAGESIZE);
  void *p =
      ::mmap(nullptr, static_cast<std::size_t>(page), PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) return false;
  ::munmap(p, static_cast<std::size_t>(page));
  return true;
}

// Writes the image into an anonymous memory file and loads it from there.
// Unsupported: no memory file, or no /proc to reach it (load by name instead).
// Broken: the loader refused the bytes.
ImageLoad loadFromMemoryFile(CoreBinding &b, const CoreImage &image) {
  const std::string name = std::string("pelnet_") + b.component;
  // Newer kernels may make memory files non-executable unless asked; older
  // ones reject the flag, so retry without it.
  int fd = ::memfd_create(name.c_str(), MFD_CLOEXEC | kMemfdExec);
  if (fd < 0 && errno == EINVAL) fd = ::memfd_create(name.c_str(), MFD_CLOEXEC);
  if (fd < 0) return ImageLoad::Unsupported;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (!copyImage(fd, image.data, image.size) || ::access(path, R_OK) != 0 || !executable(fd)) {
    ::close(fd);
    return ImageLoad::Unsupported;
  }
  void *module = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    ::close(fd);
    return ImageLoad::Broken;
  }
  b.module = module;
  b.memfd = fd;
  return ImageLoad::Loaded;
}

void loadByName(CoreBinding &b) {
  if (b.libraryName) b.module = ::dlopen(b.libraryName, RTLD_NOW | RTLD_LOCAL);
}

template <class Fn>
void findExport(const CoreBinding &b, const char *function, Fn &slot) {
  const std::string name = std::string("Pelnet_") + b.component + "_" + function;
  slot = reinterpret_cast<Fn>(::dlsym(b.module, name.c_str()));
}

}  // namespace

void BindCore(CoreBinding &b) {
  b.fn = CoreFunctions{};
  if (!b.component || b.module) return;
  if (b.image) {
    const CoreImage image = b.image();
    if (image.empty() || !plausibleImage(image)) return;  // the kind stays unbound
    if (loadFromMemoryFile(b, image) == ImageLoad::Unsupported) loadByName(b);
  } else {
    loadByName(b);
  }
  if (!b.module) return;
  // A name that is not exported leaves just its own slot empty.
  findExport(b, "Create", b.fn.Create);
  findExport(b, "Destroy", b.fn.Destroy);
  findExport(b, "Set", b.fn.Set);
  findExport(b, "Get", b.fn.Get);
  findExport(b, "GetLastError", b.fn.GetLastError);
  findExport(b, "CheckIndex", b.fn.CheckIndex);
  findExport(b, "Do", b.fn.Do);
}

void UnbindCore(CoreBinding &b) {
  b.fn = CoreFunctions{};
  if (b.module) ::dlclose(b.module);  // runs the core's StaticDestroy
  b.module = nullptr;
  if (b.memfd >= 0) ::close(b.memfd);  // only now may the number be reused
  b.memfd = -1;
  b.useCount = 0;
}

void AcquireCore(CoreBinding &b) {
  if (b.useCount++ == 0) BindCore(b);
}

void ReleaseCore(CoreBinding &b) {
  if (b.useCount <= 0) return;
  if (--b.useCount == 0) UnbindCore(b);
}

}  // namespace pelnet
