// Storage the caller owns (KelvaraGate, KelvaraCommandGate, KelvaraEnvelope:
// opaque byte records) into which a C++ slot is placed. The bytes are reached
// only as bytes until the slot's mark has been checked: the storage may be
// misaligned, never initialised, or hold anything.
#pragma once

#include <cstdint>
#include <cstring>
#include <new>

namespace kelvara::capi {

// The storage as bytes: never a member access, which a misaligned pointer
// would make undefined.
template <typename Record>
unsigned char* storage_of(const Record* record) noexcept {
  return reinterpret_cast<unsigned char*>(const_cast<Record*>(record));
}

template <typename Slot>
bool aligned_for(const unsigned char* storage) noexcept {
  return reinterpret_cast<std::uintptr_t>(storage) % alignof(Slot) == 0;
}

// A mark that ties a slot to the storage it was made in: the storage's address
// mixed with a salt of the record's own, so that a copy elsewhere lacks it.
inline std::uintptr_t address_mark(const unsigned char* storage, std::uintptr_t salt) noexcept {
  return reinterpret_cast<std::uintptr_t>(storage) ^ salt;
}

// The slot the record holds, when the slot's first member (a std::uintptr_t)
// carries its address mark; null when it holds none (or record is null).
template <typename Slot, typename Record>
Slot* address_marked_slot(const Record* record, std::uintptr_t salt) noexcept {
  if (record == nullptr) return nullptr;
  unsigned char* storage = storage_of(record);
  std::uintptr_t mark;
  std::memcpy(&mark, storage, sizeof mark);  // the storage may be misaligned or hold anything
  if (mark != address_mark(storage, salt)) return nullptr;
  return std::launder(reinterpret_cast<Slot*>(storage));
}

}  // namespace kelvara::capi
