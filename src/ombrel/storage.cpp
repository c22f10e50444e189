#include "ombrel/storage.h"

#include <cstdlib>
#include <cstring>

#include "ombrel/fault.h"
#include "ombrel/fixed_texts.h"

namespace ombrel {

Storage Storage::owned(uint64_t count) {
  Storage storage;
  storage.kind_ = Kind::kOwned;
  if (count == 0) return storage;  // an empty, valid block; nothing is ever dereferenced
  const uint64_t bytes = count * kRecordBytes;
  void* block = std::aligned_alloc(64, bytes);
  if (block == nullptr) throw InternalFault(fixed_text::kAllocationFault);
  auto* records = static_cast<SensoryNeuron*>(block);
  // One pass writes every byte: zeros everywhere, then the id. On Linux a large block is only
  // reserved until touched, so this is also where an impossible size shows up.
  for (uint64_t i = 0; i < count; ++i) {
    std::memset(&records[i], 0, sizeof(SensoryNeuron));
    records[i].id = static_cast<uint32_t>(i);
  }
  storage.records_ = records;
  return storage;
}

void Storage::release() noexcept {
  if (kind_ == Kind::kOwned) std::free(records_);
  kind_ = Kind::kNone;
  records_ = nullptr;
}

}  // namespace ombrel
