#include "kelvara/security/receipt.hpp"

#include <algorithm>

#include "kelvara/security/byte_codec.hpp"

namespace kelvara::security {

ReceiptBytes write_receipt_bytes(const Receipt& receipt) noexcept {
  ReceiptBytes bytes{};
  std::copy(receipt.nonce.begin(), receipt.nonce.end(), bytes.begin());
  store_le64(bytes.data() + kReceiptTimestampOffset, receipt.timestamp_nanos);
  store_le64(bytes.data() + kReceiptSequenceOffset, receipt.sequence_id);
  std::copy(receipt.tag.begin(), receipt.tag.end(), bytes.begin() + kReceiptTagOffset);
  return bytes;
}

Receipt read_receipt_bytes(std::span<const std::uint8_t, kReceiptSize> bytes) noexcept {
  Receipt receipt;
  std::copy_n(bytes.begin(), kNonceSize, receipt.nonce.begin());
  receipt.timestamp_nanos = load_le64(bytes.data() + kReceiptTimestampOffset);
  receipt.sequence_id = load_le64(bytes.data() + kReceiptSequenceOffset);
  std::copy_n(bytes.begin() + kReceiptTagOffset, kTagSize, receipt.tag.begin());
  return receipt;
}

}  // namespace kelvara::security
