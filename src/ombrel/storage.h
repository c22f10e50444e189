// Storage: the memory that holds a field's records.
//
// `Owned` is the zero-filled, 64-byte-aligned block made at construction. A successful load replaces
// it by a `Mapped` view of a weight file (persistence.cpp). Storage is move-only and releases what it
// holds exactly once: an Owned block is freed by release(); a Mapped view belongs to `mapping_`, whose
// destructor unmaps it right after release() has run (and, in a move-assignment, only once the
// incoming storage is in place, so the new view always exists before the old one goes).
#pragma once

#include <cstdint>
#include <utility>

#include "ombrel/sensory_neuron.h"
#include "platform/file_mapping.h"

namespace ombrel {

class Storage final {
 public:
  Storage() = default;
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  Storage(Storage&& other) noexcept { swap(other); }
  Storage& operator=(Storage&& other) noexcept {
    if (this != &other) {
      Storage dropped(std::move(other));
      swap(dropped);
    }
    return *this;
  }
  ~Storage() { release(); }

  // A zero-filled block of `count` records, each with its `id` set to its index (low 32 bits).
  // Throws InternalFault "Failed to allocate memory for ThreadBoundedNeuronField" when the memory
  // cannot be obtained. REQUIRES: count < 2^57 (checked by the caller).
  static Storage owned(uint64_t count);

  // Takes over a mapped weight file; records() is the view's base (page-aligned, so 64-byte aligned;
  // the placeholder for an empty file). The records are neither read nor checked (storage_mapped.cpp).
  static Storage mapped(platform::FileMapping mapping) noexcept;

  SensoryNeuron* records() const noexcept { return records_; }
  bool is_mapped() const noexcept { return kind_ == Kind::kMapped; }

 private:
  enum class Kind { kNone, kOwned, kMapped };

  void release() noexcept;
  void swap(Storage& other) noexcept {
    std::swap(kind_, other.kind_);
    std::swap(records_, other.records_);
    mapping_.swap(other.mapping_);
  }

  Kind kind_ = Kind::kNone;
  SensoryNeuron* records_ = nullptr;
  platform::FileMapping mapping_;  // the view of a Mapped storage; empty otherwise
};

}  // namespace ombrel
