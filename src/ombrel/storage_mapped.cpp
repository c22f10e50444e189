// The Mapped kind of Storage: a weight file's view used in place as the record array.
#include <utility>

#include "ombrel/storage.h"

namespace ombrel {

Storage Storage::mapped(platform::FileMapping mapping) noexcept {
  Storage storage;
  storage.kind_ = Kind::kMapped;
  storage.records_ = reinterpret_cast<SensoryNeuron*>(mapping.data());
  storage.mapping_ = std::move(mapping);
  return storage;
}

}  // namespace ombrel
