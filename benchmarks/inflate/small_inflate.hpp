// An experimental DEFLATE decoder for small members: little set-up per block, no generic slow
// loop. It accepts only what it is sure of; everything else is left to libdeflate, the
// reference. Not used by the reader: it is not fast enough to be worth a second decoder
// (inflate_bench.cpp has the figures).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zel {

// Readable bytes that inflate_small needs past the end of its input (their values do not
// matter), and writable bytes past the end of its output.
inline constexpr size_t kSmallInflateInputPadding = 16;
inline constexpr size_t kSmallInflateOutputPadding = 320;

// Members up to this size are inflated by inflate_small first.
inline constexpr size_t kSmallInflateLimit = 65536;

// Inflates the DEFLATE stream `in` into `out`. True only when the stream is one that libdeflate
// decodes without error, to exactly out.size() bytes, which are then in `out`; false for
// anything else (a damaged stream, another size, or merely a form this decoder does not take,
// such as an incomplete Huffman code), in which case `out` holds nothing of use and the caller
// asks libdeflate. Bytes of the input after the final block are ignored, as libdeflate does.
bool inflate_small(std::span<const uint8_t> in, std::span<uint8_t> out) noexcept;

}  // namespace zel
