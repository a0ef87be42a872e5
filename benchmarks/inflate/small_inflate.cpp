// Inflating small DEFLATE streams. A block of a few hundred symbols costs more to set up than to
// decode, so the set-up is kept lean: the code lengths go straight into buckets by length while
// they are read (no separate count or sort), Huffman codes are checked to be complete (anything
// else goes back to libdeflate), and decode tables are only as wide as the block's longest code
// (at most kTableBits; longer codes, rare by construction, are decoded canonically bit by bit).
// The input is read through a 64-bit buffer refilled without branches, which the padding past
// the input allows; whether the stream fit its input is decided once, at its end, by counting
// the bits consumed.
#include "small_inflate.hpp"

#include <array>
#include <bit>
#include <cstring>

namespace zel {

namespace {

constexpr unsigned kTableBits = 10;  // litlen; distance tables use at most kDistanceTableBits
constexpr unsigned kDistanceTableBits = 8;
constexpr unsigned kMaxCodeLength = 15;
constexpr size_t kMaxLitlen = 286, kMaxDistance = 30, kPrecodeSymbols = 19;
// Both codes' lengths are read into one set of buckets, then the distance code's moved out.
constexpr size_t kMaxLengths = kMaxLitlen + kMaxDistance;

// Table entries: the bits of the code in the low byte, then the count of extra bits (4 bits),
// from bit 16 the value (a literal byte, a length base or a distance base), and flags on top.
constexpr uint32_t kExtraShift = 8, kExtraMask = 0xF;
constexpr uint32_t kLiteral = 1u << 31;
constexpr uint32_t kEndOfBlock = 1u << 30;
constexpr uint32_t kLongCode = 1u << 29;  // longer than the table: decode canonically
constexpr uint32_t kInvalid = 1u << 28;   // a symbol that no valid stream uses

constexpr uint8_t kPrecodeOrder[kPrecodeSymbols] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                    11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                      15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                      67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                      2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// An entry without its code length, per symbol.
constexpr std::array<uint32_t, 288> litlen_values() {
  std::array<uint32_t, 288> values{};
  for (uint32_t s = 0; s < 256; ++s) values[s] = kLiteral | (s << 16);
  values[256] = kEndOfBlock;
  for (uint32_t s = 257; s < 286; ++s) {
    values[s] =
        (uint32_t{kLengthBase[s - 257]} << 16) | (uint32_t{kLengthExtra[s - 257]} << kExtraShift);
  }
  values[286] = values[287] = kInvalid;
  return values;
}
constexpr std::array<uint32_t, 32> distance_values() {
  std::array<uint32_t, 32> values{};
  for (uint32_t s = 0; s < 30; ++s) {
    values[s] = (uint32_t{kDistanceBase[s]} << 16) | (uint32_t{kDistanceExtra[s]} << kExtraShift);
  }
  values[30] = values[31] = kInvalid;
  return values;
}
constexpr std::array<uint32_t, 288> kLitlenValues = litlen_values();
constexpr std::array<uint32_t, 32> kDistanceValues = distance_values();

constexpr std::array<uint8_t, 256> byte_reversals() {
  std::array<uint8_t, 256> reversed{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned r = 0;
    for (unsigned i = 0; i < 8; ++i) r |= ((b >> i) & 1u) << (7 - i);
    reversed[b] = static_cast<uint8_t>(r);
  }
  return reversed;
}
constexpr std::array<uint8_t, 256> kReversed = byte_reversals();

// Ten-bit numbers reversed: a code of L <= 10 bits, shifted up by 10 - L, gives its L bits
// reversed (the index of its table entries).
constexpr unsigned kMaxTableBits = 10;
constexpr std::array<uint16_t, 1024> ten_bit_reversals() {
  std::array<uint16_t, 1024> reversed{};
  for (unsigned v = 0; v < 1024; ++v) {
    unsigned r = 0;
    for (unsigned i = 0; i < 10; ++i) r |= ((v >> i) & 1u) << (9 - i);
    reversed[v] = static_cast<uint16_t>(r);
  }
  return reversed;
}
constexpr std::array<uint16_t, 1024> kReversed10 = ten_bit_reversals();

// The `length` low bits of `code`, in reverse order (DEFLATE sends codes from their top bit).
inline uint32_t reverse(uint32_t code, unsigned length) {
  const uint32_t r = (uint32_t{kReversed[code & 0xFF]} << 8) | kReversed[(code >> 8) & 0xFF];
  return r >> (16 - length);
}

// The symbols of one code by length: bucket[L] holds the symbols of length L in ascending order.
template <size_t kSymbols>
struct Buckets {
  uint16_t count[kMaxCodeLength + 1];
  uint16_t symbol[kMaxCodeLength + 1][kSymbols];
};

// A decode table and what decodes the codes that are longer than it.
template <size_t kSymbols, size_t kSize>
struct Code {
  std::array<uint32_t, kSize> table;
  unsigned bits;                       // the table is indexed by this many low bits
  uint16_t first[kMaxCodeLength + 1];  // canonical first code of each length
  const Buckets<kSymbols>* buckets;    // for the long codes
  const uint32_t* values;
};

// Builds `code` from its symbols by length. False unless the lengths make a complete prefix code
// (every bit string decodes): over-subscribed, incomplete and empty codes are left to
// libdeflate. Codes are laid out in canonical order with the codeword kept bit-reversed, and the
// table doubles as the length grows, so that each entry is written once or copied.
template <size_t kSymbols, size_t kSize>
bool build(Code<kSymbols, kSize>& code, const Buckets<kSymbols>& buckets, const uint32_t* values,
           unsigned max_bits) {
  unsigned shortest = 0, longest = 0;
  int32_t left = 1;  // codes left at the current length
  uint32_t first = 0;
  for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
    if (length > 1) first = (first + buckets.count[length - 1]) << 1;
    code.first[length] = static_cast<uint16_t>(first);
    left = 2 * left - buckets.count[length];
    if (left < 0) return false;
    if (buckets.count[length] != 0) {
      longest = length;
      if (shortest == 0) shortest = length;
    }
  }
  if (left != 0) return false;
  const unsigned bits = longest < max_bits ? longest : max_bits;
  if (shortest > bits) return false;
  code.bits = bits;
  code.buckets = &buckets;
  code.values = values;
  uint32_t* const table = code.table.data();
  // Codes of each length in canonical order, their bit-reversed codewords from kReversed10;
  // the table, filled for `length` bits, doubles before the next length.
  uint32_t codeword = 0;  // canonical, not reversed
  unsigned length = shortest;
  for (;; ++length) {
    const unsigned n = buckets.count[length];
    const uint16_t* symbols = buckets.symbol[length];
    const unsigned shift = kMaxTableBits - length;
    for (unsigned c = 0; c < n; ++c) {
      table[kReversed10[(codeword + c) << shift]] = values[symbols[c]] | length;
    }
    codeword += n;
    if (length == bits) break;
    const uint32_t end = 1u << length;
    std::memcpy(table + end, table, end * sizeof(uint32_t));
    codeword <<= 1;
  }
  // Longer codes mark the table's entry of their first `bits` bits.
  for (++length; length <= longest; ++length) {
    codeword <<= 1;
    const unsigned n = buckets.count[length];
    const unsigned shift = length - bits;
    for (unsigned c = 0; c < n; ++c) {
      table[kReversed10[((codeword + c) >> shift) << (kMaxTableBits - bits)]] = kLongCode;
    }
    codeword += n;
  }
  return true;
}

// The fixed codes of block type 1, built once.
struct FixedCodes {
  Buckets<288> litlen_buckets;
  Buckets<32> distance_buckets;
  Code<288, 1u << kTableBits> litlen;
  Code<32, 1u << kDistanceTableBits> distance;
  FixedCodes() noexcept : litlen_buckets{}, distance_buckets{} {
    for (uint16_t s = 0; s < 288; ++s) {
      const unsigned length = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
      litlen_buckets.symbol[length][litlen_buckets.count[length]++] = s;
    }
    for (uint16_t s = 0; s < 32; ++s) distance_buckets.symbol[5][distance_buckets.count[5]++] = s;
    (void)build(litlen, litlen_buckets, kLitlenValues.data(), kTableBits);
    (void)build(distance, distance_buckets, kDistanceValues.data(), kDistanceTableBits);
  }
};

const FixedCodes& fixed_codes() {
  static const FixedCodes codes;
  return codes;
}

inline uint64_t load64(const uint8_t* p) {
  uint64_t value;
  std::memcpy(&value, p, 8);  // little-endian hosts
  return value;
}

// The bit reader, kept in locals of the one function it is inlined into.
struct Bits {
  uint64_t buffer = 0;
  unsigned left = 0;  // valid bits in buffer
  const uint8_t* next;
  const uint8_t* limit;  // past this, the stream has certainly run beyond its input

  // Tops the buffer up to at least 56 bits, from the padding past the input's end if need be.
  [[gnu::always_inline]] bool refill() {
    if (next > limit) return false;
    buffer |= load64(next) << left;
    next += 7 - ((left >> 3) & 7);
    left |= 56;
    return true;
  }
  [[gnu::always_inline]] void consume(unsigned n) {
    buffer >>= n;
    left -= n;
  }
  [[gnu::always_inline]] uint32_t take(unsigned n) {
    const auto value = static_cast<uint32_t>(buffer & ((uint64_t{1} << n) - 1));
    consume(n);
    return value;
  }
};

// The entry of a code longer than its table, from the bits after the table's, with the length
// of the code in its low byte (where table entries hold theirs).
template <size_t kSymbols, size_t kSize>
[[gnu::noinline]] uint32_t decode_long(const Code<kSymbols, kSize>& code, uint64_t buffer) {
  uint32_t codeword = reverse(static_cast<uint32_t>(buffer), code.bits);
  unsigned length = code.bits;
  buffer >>= code.bits;
  for (;;) {
    ++length;
    codeword = (codeword << 1) | static_cast<uint32_t>(buffer & 1);
    buffer >>= 1;
    // A complete code always ends by its longest length.
    const uint32_t offset = codeword - code.first[length];
    if (offset < code.buckets->count[length]) {
      return code.values[code.buckets->symbol[length][offset]] | length;
    }
  }
}

struct Output {
  uint8_t* const start;
  uint8_t* next;
  uint8_t* const end;
};

// Decodes one block's symbols up to its end-of-block code.
template <size_t kL, size_t kLS, size_t kD, size_t kDS>
[[gnu::always_inline]] inline bool decode(const Code<kL, kLS>& litlen,
                                          const Code<kD, kDS>& distance, Bits& state,
                                          Output& output) {
  // Locals only: a store of an output byte may alias anything in memory, which would then be
  // loaded again.
  Bits bits = state;
  const uint64_t litlen_mask = (uint64_t{1} << litlen.bits) - 1;
  const uint64_t distance_mask = (uint64_t{1} << distance.bits) - 1;
  const uint32_t* const litlen_table = litlen.table.data();
  const uint32_t* const distance_table = distance.table.data();
  uint8_t* out = output.next;
  uint8_t* const out_start = output.start;
  uint8_t* const out_end = output.end;
  for (;;) {
    // A code takes at most 15 bits. The output's bound is checked at each refill: between two,
    // at most 56 literals (of one bit each) can land in the padding.
    if (bits.left < 15) {
      if (out > out_end || !bits.refill()) return false;
    }
    uint32_t entry = litlen_table[bits.buffer & litlen_mask];
    if (entry & kLiteral) {
      bits.consume(entry & 0xFF);
      *out++ = static_cast<uint8_t>(entry >> 16);
      continue;
    }
    if (entry & kLongCode) {
      entry = decode_long(litlen, bits.buffer);
      if (entry & kLiteral) {
        bits.consume(entry & 0xFF);
        *out++ = static_cast<uint8_t>(entry >> 16);
        continue;
      }
    }
    bits.consume(entry & 0xFF);
    if (entry & (kEndOfBlock | kInvalid)) {
      if (entry & kInvalid) return false;
      break;
    }
    // A match's length extra and distance take at most 33 bits.
    if (bits.left < 33 && !bits.refill()) return false;
    const uint32_t length = (entry >> 16) + bits.take((entry >> kExtraShift) & kExtraMask);
    uint32_t d = distance_table[bits.buffer & distance_mask];
    if (d & kLongCode) d = decode_long(distance, bits.buffer);
    bits.consume(d & 0xFF);
    if (d & kInvalid) return false;
    const uint32_t offset = (d >> 16) + bits.take((d >> kExtraShift) & kExtraMask);
    if (offset > static_cast<size_t>(out - out_start) || out + length > out_end) return false;
    const uint8_t* from = out - offset;
    uint8_t* const stop = out + length;
    if (offset >= 8) {
      // Eight bytes at a time; the output's padding takes the overshoot.
      do {
        std::memcpy(out, from, 8);
        out += 8;
        from += 8;
      } while (out < stop);
    } else {
      do {
        *out++ = *from++;
      } while (out < stop);
    }
    out = stop;
  }
  state = bits;
  output.next = out;
  return true;
}

// Copies a stored block.
inline bool copy_stored(Bits& bits, Output& output, const uint8_t* in_end) {
  bits.consume(bits.left & 7);
  if (bits.left < 32 && !bits.refill()) return false;
  const uint32_t length = bits.take(16);
  const uint32_t complement = bits.take(16);
  if ((length ^ complement) != 0xFFFF) return false;
  // The buffer holds whole bytes now; they are the next ones of the input.
  const uint8_t* from = bits.next - bits.left / 8;
  if (from > in_end || static_cast<size_t>(in_end - from) < length || output.next > output.end ||
      static_cast<size_t>(output.end - output.next) < length) {
    return false;
  }
  std::memcpy(output.next, from, length);
  output.next += length;
  bits.next = from + length;
  bits.buffer = 0;
  bits.left = 0;
  return true;
}

// A dynamic block's codes, read from its header.
struct DynamicCodes {
  Buckets<kMaxLengths> litlen_buckets;
  Buckets<kMaxDistance> distance_buckets;
  Code<kMaxLengths, 1u << kTableBits> litlen;
  Code<kMaxDistance, 1u << kDistanceTableBits> distance;
};

inline bool read_dynamic_codes(Bits& state, DynamicCodes& codes) {
  Bits bits = state;  // in registers, whatever the stores below may alias
  if (!bits.refill()) return false;
  const uint32_t litlens = 257 + bits.take(5);
  const uint32_t distances = 1 + bits.take(5);
  const uint32_t precodes = 4 + bits.take(4);
  if (litlens > kMaxLitlen || distances > kMaxDistance) return false;

  // The precode: at most 7 bits, decoded from a table of (symbol << 3 | length).
  uint8_t precode_lengths[kPrecodeSymbols] = {};
  for (uint32_t i = 0; i < precodes; ++i) {
    if (bits.left < 3 && !bits.refill()) return false;
    precode_lengths[kPrecodeOrder[i]] = static_cast<uint8_t>(bits.take(3));
  }
  uint8_t precode_count[8] = {};
  for (const uint8_t length : precode_lengths) ++precode_count[length];
  uint32_t next[kMaxCodeLength + 1];
  int32_t left = 1;
  uint32_t first = 0;
  unsigned longest = 0;
  for (unsigned length = 1; length <= 7; ++length) {
    if (length > 1) first = (first + precode_count[length - 1]) << 1;
    next[length] = first;
    left = 2 * left - precode_count[length];
    if (left < 0) return false;
    if (precode_count[length] != 0) longest = length;
  }
  if (left != 0) return false;
  uint8_t precode[128];
  const uint32_t precode_size = 1u << longest;
  for (unsigned s = 0; s < kPrecodeSymbols; ++s) {
    const unsigned length = precode_lengths[s];
    if (length == 0) continue;
    const auto entry = static_cast<uint8_t>((s << 3) | length);
    for (uint32_t i = reverse(next[length]++, length); i < precode_size; i += 1u << length) {
      precode[i] = entry;
    }
  }

  // The code lengths, straight into the buckets; lengths of the distance code are sorted out of
  // them afterwards (they are the highest symbols of each bucket).
  Buckets<kMaxLengths>& lit = codes.litlen_buckets;
  std::memset(lit.count, 0, sizeof lit.count);
  const uint64_t precode_mask = precode_size - 1;
  const uint32_t total = litlens + distances;
  unsigned previous = 0;
  for (uint32_t i = 0; i < total;) {
    if (bits.left < 14 && !bits.refill()) return false;
    const uint8_t entry = precode[bits.buffer & precode_mask];
    bits.consume(entry & 7u);
    const unsigned symbol = entry >> 3;
    if (symbol < 16) {
      lit.symbol[symbol][lit.count[symbol]++] = static_cast<uint16_t>(i);
      previous = symbol;
      ++i;
      continue;
    }
    uint32_t repeat;
    unsigned value = 0;
    if (symbol == 16) {
      if (i == 0) return false;
      value = previous;
      repeat = 3 + bits.take(2);
    } else if (symbol == 17) {
      repeat = 3 + bits.take(3);
    } else {
      repeat = 11 + bits.take(7);
    }
    if (repeat > total - i) return false;
    previous = value;
    if (value != 0) {
      uint16_t* bucket = lit.symbol[value];
      uint16_t count = lit.count[value];
      for (uint32_t r = 0; r < repeat; ++r) bucket[count++] = static_cast<uint16_t>(i + r);
      lit.count[value] = count;
    }
    i += repeat;
  }
  Buckets<kMaxDistance>& dist = codes.distance_buckets;
  for (unsigned length = 1; length <= kMaxCodeLength; ++length) {
    unsigned n = lit.count[length];
    unsigned k = n;
    while (k > 0 && lit.symbol[length][k - 1] >= litlens) --k;
    dist.count[length] = static_cast<uint16_t>(n - k);
    for (unsigned j = k; j < n; ++j) {
      dist.symbol[length][j - k] = static_cast<uint16_t>(lit.symbol[length][j] - litlens);
    }
    lit.count[length] = static_cast<uint16_t>(k);
  }
  dist.count[0] = 0;
  state = bits;
  return build(codes.litlen, lit, kLitlenValues.data(), kTableBits) &&
         build(codes.distance, dist, kDistanceValues.data(), kDistanceTableBits);
}

}  // namespace

bool inflate_small(std::span<const uint8_t> in, std::span<uint8_t> out) noexcept {
  const uint8_t* const in_end = in.data() + in.size();
  Bits bits{0, 0, in.data(), in_end + 8};
  Output output{out.data(), out.data(), out.data() + out.size()};
  DynamicCodes codes;
  bool final_block = false;
  while (!final_block) {
    if (!bits.refill()) return false;
    final_block = (bits.buffer & 1) != 0;
    const auto type = static_cast<unsigned>(bits.buffer >> 1) & 3;
    bits.consume(3);
    bool ok = false;
    if (type == 2) {
      ok = read_dynamic_codes(bits, codes) && decode(codes.litlen, codes.distance, bits, output);
    } else if (type == 1) {
      ok = decode(fixed_codes().litlen, fixed_codes().distance, bits, output);
    } else if (type == 0) {
      ok = copy_stored(bits, output, in_end);
    }
    if (!ok) return false;
  }
  // The stream must have ended inside the input, and filled the output exactly.
  const uint64_t consumed = static_cast<uint64_t>(bits.next - in.data()) * 8 - bits.left;
  return consumed <= uint64_t{in.size()} * 8 && output.next == output.end;
}

}  // namespace zel
