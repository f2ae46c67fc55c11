// The message hasher against OpenSSL's one-shot HMAC over the signed message,
// for every identifier length and payload: authorize, a hasher fed the payload
// in arbitrary pieces and the receipt's tag check all agree with it; a longer
// identifier is refused with nothing computed; one flipped tag bit fails the
// check; the receipt's byte form reads back as itself.
#include <vector>

#include "fuzz_input.hpp"
#include "kelvara/security/message_hasher.hpp"
#include "kelvara/security/receipt.hpp"
#include "kelvara/security/tag_check.hpp"
#include "kelvara/security/test_support.hpp"

using namespace kelvara::security;
using kelvara::fuzz::pick_bytes;
using kelvara::security::testing::reference_hmac;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Key key = pick_bytes<kKeySize>(in);
  const Nonce nonce = pick_bytes<kNonceSize>(in);
  const Payload payload = pick_bytes<kPayloadSize>(in);
  const std::uint64_t timestamp = in.ConsumeIntegral<std::uint64_t>();
  const std::uint64_t sequence_id = in.ConsumeIntegral<std::uint64_t>();
  const std::size_t split = in.ConsumeIntegralInRange<std::size_t>(0, kPayloadSize);
  const std::size_t id_length = in.ConsumeIntegralInRange<std::size_t>(0, kMaxActionIdSize + 8);
  std::vector<std::uint8_t> id = in.ConsumeBytes<std::uint8_t>(id_length);
  id.resize(id_length);
  const ActionId action_id(id);
  const HmacKeyContext context = HmacKeyContext::from_key(key);

  const auto receipt = authorize(context, nonce, timestamp, sequence_id, action_id, payload);
  const auto message = signed_message(nonce, timestamp, sequence_id, action_id, payload);
  if (id_length > kMaxActionIdSize) {
    FUZZ_CHECK(!receipt && receipt.error() == KelError::ActionIdOverflow);
    FUZZ_CHECK(!message && message.error() == KelError::ActionIdOverflow);
    FUZZ_CHECK(!MessageHasher::begin(context, nonce, timestamp, sequence_id, action_id));
    return 0;
  }
  FUZZ_CHECK(receipt && message);
  FUZZ_CHECK(message->size == kSignedMessageFixedSize + id_length);
  const Tag expected = reference_hmac(key, message->view());
  FUZZ_CHECK(receipt->tag == expected);
  FUZZ_CHECK(receipt->nonce == nonce && receipt->timestamp_nanos == timestamp &&
             receipt->sequence_id == sequence_id);

  // The payload in two pieces; finalize leaves the hasher as it was.
  auto hasher = MessageHasher::begin(context, nonce, timestamp, sequence_id, action_id);
  FUZZ_CHECK(hasher.has_value());
  hasher->update(std::span(payload).first(split));
  hasher->update(std::span(payload).subspan(split));
  FUZZ_CHECK(hasher->finalize() == expected);
  FUZZ_CHECK(hasher->finalize() == expected);

  const ReceiptBytes bytes = write_receipt_bytes(*receipt);
  const Receipt read_back = read_receipt_bytes(bytes);
  FUZZ_CHECK(write_receipt_bytes(read_back) == bytes);
  FUZZ_CHECK(check_tag(context, read_back, action_id, payload).has_value());

  Receipt flipped = read_back;
  const std::size_t bit = in.ConsumeIntegralInRange<std::size_t>(0, 8 * kTagSize - 1);
  flipped.tag[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
  const auto refused = check_tag(context, flipped, action_id, payload);
  FUZZ_CHECK(!refused && refused.error() == KelError::AuthenticationFailure);
  return 0;
}
