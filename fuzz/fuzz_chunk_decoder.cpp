/*
 * fuzz_chunk_decoder.cpp - libFuzzer harness of the chunk codec.
 *
 * The input's first byte picks the test. Even: the rest is a chunk blob; its
 * check is set to the one its bytes deserve (a damaged blob with a valid check
 * is what a fault in the writer would leave, and the check would otherwise
 * stop the fuzzer at the door) and it is decoded: a well-formed blob decodes
 * to its count of values, anything else is refused, never a crash, a read
 * out of bounds or a hang. Odd: the rest is a column of doubles (every bit
 * pattern the fuzzer finds, in one to five roles) that must come back from an
 * encode and decode bit for bit.
 */
#include <xxhash.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chunk_codec.h"

using namespace orvtsdb;

namespace {

constexpr uint64_t SEED = 0x5eed;
/* Larger sample counts only cost the harness memory, not coverage. */
constexpr uint32_t MOST_SAMPLES = 1u << 14;

uint32_t get_u32(const uint8_t *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* The check FORMAT.md defines, written into bytes 6..13. */
void stamp_check(std::vector<uint8_t> &blob) {
  uint64_t head = (uint64_t)blob[0] | (uint64_t)blob[1] << 8 | (uint64_t)get_u32(&blob[2]) << 16;
  uint64_t check = XXH3_64bits_withSeed(blob.data() + CHUNK_HEADER_BYTES,
                                        blob.size() - CHUNK_HEADER_BYTES,
                                        SEED ^ XXH3_64bits(&head, sizeof head));
  for (int i = 0; i < 8; i++) blob[6 + i] = (uint8_t)(check >> (8 * i));
}

void decode_blob(const uint8_t *data, size_t size) {
  if (size < CHUNK_HEADER_BYTES) return;
  std::vector<uint8_t> blob(data, data + size);
  if (get_u32(&blob[2]) > MOST_SAMPLES) return;
  stamp_check(blob);
  static ChunkDecoder dec;
  std::string err;
  if (dec.decode(SEED, blob.data(), blob.size(), err)) {
    volatile double sink = 0;
    for (int i = 0; i < dec.roles() * dec.count(); i++) sink = sink + dec.values()[i];
  } else if (err.empty()) {
    abort();  // a refusal always says why
  }
}

void round_trip(const uint8_t *data, size_t size) {
  if (size < 9) return;
  int roles = 1 + data[0] % 5;
  size_t count = (size - 1) / 8 / roles;
  if (count == 0) return;
  std::vector<double> v(count * roles);
  std::memcpy(v.data(), data + 1, v.size() * 8);
  static ChunkEncoder enc;
  static ChunkDecoder dec;
  std::string err;
  if (!enc.encode(SEED, v.data(), 1, count, roles, (int)count, err)) abort();
  if (!dec.decode(SEED, enc.data(), enc.size(), err)) abort();
  if (dec.count() != (int)count || dec.roles() != roles) abort();
  if (std::memcmp(dec.values(), v.data(), v.size() * 8) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1)
    round_trip(data + 1, size - 1);
  else
    decode_blob(data + 1, size - 1);
  return 0;
}
