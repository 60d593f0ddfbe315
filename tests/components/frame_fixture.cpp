#include "frame_fixture.h"

#include "file_text.h"

#include <dlfcn.h>

#include <array>
#include <fstream>
#include <iterator>

namespace {

std::array<std::vector<unsigned char>, 4> slotBytes;

template <int N>
pelnet::CoreImage imageFromSlot() {
  pelnet::CoreImage image;
  image.data = slotBytes[N].data();
  image.size = slotBytes[N].size();
  return image;
}

}  // namespace

std::vector<unsigned char> ReadFileBytes(const std::string &path) {
  const std::string bytes = testsupport::readFileText(path);
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

pelnet::CoreImage (*ImageSlot(int n, std::vector<unsigned char> bytes))() {
  static constexpr std::array<pelnet::CoreImage (*)(), 4> fns{&imageFromSlot<0>, &imageFromSlot<1>,
                                                              &imageFromSlot<2>, &imageFromSlot<3>};
  slotBytes.at(n) = std::move(bytes);
  return fns.at(n);
}

TestCore::TestCore(pelnet::CoreImage (*image)(), const char *library)
    : binding{"FrameTest", library, image},
      kind{&binding, kFrameTestCreationText, ftInterrupt, &TpelRaise<EpelFrameTest>} {
  pelnet::AcquireCore(binding);
}

TestCore::~TestCore() { pelnet::ReleaseCore(binding); }

FrameTestCounters *TestCore::counters() const {
  if (!binding.module) return nullptr;
  auto fn = reinterpret_cast<FrameTestCounters *(*)()>(dlsym(binding.module, "frametest_counters"));
  return fn ? fn() : nullptr;
}
