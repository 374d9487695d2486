#pragma once
// LZX decompression as compiled HTML help files use it: one stream of 32 KiB
// frames whose decoder state starts afresh every few frames. The stream is
// untrusted: every code length, block length, match offset and match length is
// checked before use, so a damaged stream ends decoding early without ever
// reading or writing outside its buffers. Work and memory grow linearly with
// the output length, which the caller bounds.

#include <QByteArray>

namespace lzx {

/// Decodes outputLength bytes from stream (window of 2^windowBits bytes, 15..21; state reset every resetFrames frames);
/// returns the whole frames decoded before the first fault, so a result shorter than outputLength means a damaged
/// stream.
QByteArray decompress(const QByteArray& stream, int windowBits, int resetFrames, int outputLength);

} // namespace lzx
