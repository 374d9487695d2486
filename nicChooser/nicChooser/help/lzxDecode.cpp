#include "lzxDecode.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace lzx {
namespace {

constexpr int frameSize = 0x8000;
constexpr int minMatch = 2;
constexpr int literals = 256;
constexpr int pretreeSymbols = 20;
constexpr int alignedSymbols = 8;
constexpr int lengthSymbols = 249;
constexpr int maxPositionSlots = 50;
constexpr int maxMainSymbols = literals + maxPositionSlots * 8;
constexpr int maxCodeLength = 16;
// Runs of code lengths may reach a little past the last symbol; real encoders
// do that, so the tables keep room for it rather than reject such streams.
constexpr int lengthSlack = 64;

enum blockType { invalidBlock = 0, verbatimBlock = 1, alignedBlock = 2, storedBlock = 3 };

struct slotTables {
    std::array<std::uint32_t, maxPositionSlots + 1> base{};
    std::array<int, maxPositionSlots + 1> extra{};
    slotTables()
    {
        std::uint32_t next = 0;
        for (int slot = 0; slot <= maxPositionSlots; ++slot) {
            extra[slot] = std::min(slot < 4 ? 0 : slot / 2 - 1, 17);
            base[slot] = next;
            next += 1u << extra[slot];
        }
    }
};
const slotTables slots;

// Bits arrive in 16-bit little-endian words, most significant bit first.
// An encoder may stop inside the last word and decoders read ahead, so a
// couple of zero words are supplied past the end; asking for more than that
// marks the stream as damaged.
class bitReader
{
public:
    bitReader(const unsigned char* data, int size) : data(data), size(size) {}

    bool ok() const { return good; }

    void ensure(int n)
    {
        while (bits < n) {
            std::uint32_t word = 0;
            if (pos + 2 <= size) {
                word = data[pos] | std::uint32_t(data[pos + 1]) << 8;
                pos += 2;
            } else if (++padding > 2) {
                good = false;
            }
            buffer |= word << (16 - bits);
            bits += 16;
        }
    }
    std::uint32_t peek(int n) const { return buffer >> (32 - n); }
    void remove(int n)
    {
        buffer = n >= 32 ? 0 : buffer << n;
        bits -= n;
    }
    std::uint32_t read(int n)
    {
        if (n == 0)
            return 0;
        ensure(n);
        const std::uint32_t value = peek(n);
        remove(n);
        return value;
    }

    // Skips to the next word boundary: 1 to 16 bits, as before stored data.
    void alignForStored()
    {
        if (bits == 0)
            ensure(16);
        remove(bits);
        buffer = 0;
    }
    // Skips to the next word boundary, nothing when already on one.
    void alignForFrame()
    {
        if (bits > 0)
            ensure(16);
        remove(bits & 15);
    }
    // Stored bytes follow a boundary; the bit buffer is empty there.
    bool copyBytes(unsigned char* to, int n)
    {
        if (bits != 0 || padding > 0 || n > size - pos) {
            good = false;
            return false;
        }
        std::copy(data + pos, data + pos + n, to);
        pos += n;
        return true;
    }
    bool skipByte()
    {
        if (bits != 0 || pos >= size)
            return good = false;
        ++pos;
        return true;
    }

private:
    const unsigned char* data;
    int size;
    int pos = 0;
    int padding = 0;
    std::uint32_t buffer = 0;
    int bits = 0;
    bool good = true;
};

// A canonical Huffman code, decoded one length at a time.
class huffman
{
public:
    // False when the lengths promise more codes than there are bit patterns.
    bool build(const unsigned char* lengths, int count)
    {
        counts.fill(0);
        for (int i = 0; i < count; ++i)
            ++counts[lengths[i]];
        counts[0] = 0;
        int left = 1;
        for (int len = 1; len <= maxCodeLength; ++len) {
            left = left * 2 - counts[len];
            if (left < 0)
                return false;
        }
        std::array<int, maxCodeLength + 2> offsets{};
        for (int len = 1; len <= maxCodeLength; ++len)
            offsets[len + 1] = offsets[len] + counts[len];
        for (int i = 0; i < count; ++i)
            if (lengths[i] != 0)
                symbols[offsets[lengths[i]]++] = std::uint16_t(i);
        return true;
    }

    // The next symbol, or -1 when the bits match no code.
    int decode(bitReader& in) const
    {
        in.ensure(maxCodeLength);
        const std::uint32_t bitsAhead = in.peek(maxCodeLength);
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= maxCodeLength; ++len) {
            code |= int(bitsAhead >> (maxCodeLength - len)) & 1;
            const int count = counts[len];
            if (code - first < count) {
                in.remove(len);
                return symbols[index + code - first];
            }
            index += count;
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }

private:
    std::array<int, maxCodeLength + 1> counts{};
    std::array<std::uint16_t, maxMainSymbols> symbols{};
};

// Where a frame's output needs the x86 call translation undone, and with what.
struct translation {
    int start;
    int length;
    std::int64_t position;
    std::int64_t fileSize;
};

class decoder
{
public:
    decoder(const QByteArray& stream, int windowBits, int resetFrames, int outputLength)
        : in(reinterpret_cast<const unsigned char*>(stream.constData()), stream.size()), windowSize(1 << windowBits),
          mainSymbols(literals
                      + 8
                            * (windowBits == 21   ? 50
                               : windowBits == 20 ? 42
                                                  : windowBits * 2)),
          resetFrames(resetFrames), outputLength(outputLength)
    {}

    QByteArray run()
    {
        int frame = 0;
        int whole = 0; // output of the frames decoded without fault
        while (whole < outputLength) {
            if (frame % resetFrames == 0) {
                if (blockRemaining != 0)
                    break;
                reset();
            }
            // Compilers fill the last frame up to its full size; a stream
            // that ends early there is whole enough once the output is.
            const int length = std::min(frameSize, outputLength - whole);
            const bool decoded = decodeFrame(whole);
            if (!decoded && reached < whole + length)
                break;
            noteCallTranslation(whole, length);
            whole += length;
            if (!decoded)
                break;
            ++frame;
        }
        QByteArray result(reinterpret_cast<const char*>(window.data()), whole);
        for (const translation& t : translations)
            if (t.start + t.length <= whole)
                undoCallTranslation(result, t);
        return result;
    }

private:
    void reset()
    {
        r0 = r1 = r2 = 1;
        headerRead = false;
        blockKind = invalidBlock;
        blockRemaining = 0;
        mainLengths.fill(0);
        lengthLengths.fill(0);
        lengthCodeEmpty = true;
        resetStart = int(window.size());
        // Each reset point can be decoded on its own, the call translation
        // included.
        callsSeen = false;
        callPosition = 0;
    }

    // Decodes the frame at start, setting reached to the end of the output
    // decoded before any fault.
    bool decodeFrame(int start)
    {
        if (!headerRead) {
            std::uint32_t size = 0;
            if (in.read(1)) {
                size = in.read(16) << 16;
                size |= in.read(16);
            }
            callFileSize = std::int32_t(size);
            headerRead = true;
        }
        const int end = start + frameSize;
        window.resize(std::size_t(end));
        int& at = reached;
        at = start;
        while (at < end) {
            if (blockRemaining == 0 && !startBlock())
                return false;
            const int runEnd = at + int(std::min<std::uint32_t>(blockRemaining, std::uint32_t(end - at)));
            const int from = at;
            if (blockKind == storedBlock) {
                if (!in.copyBytes(window.data() + at, runEnd - at))
                    return false;
                at = runEnd;
            } else {
                while (at < runEnd)
                    if (!decodeSymbol(at, end))
                        return false;
            }
            // A match may run past the part of the block asked for, but not
            // past the block itself.
            if (std::uint32_t(at - from) > blockRemaining)
                return false;
            blockRemaining -= std::uint32_t(at - from);
        }
        in.alignForFrame();
        return in.ok();
    }

    void noteCallTranslation(int start, int length)
    {
        if (callFileSize == 0)
            return;
        if (callsSeen && length > 10)
            translations.push_back({start, length, callPosition, callFileSize});
        callPosition += length;
    }

    bool startBlock()
    {
        if (blockKind == storedBlock && (blockLength & 1) && !in.skipByte())
            return false;
        blockKind = int(in.read(3));
        blockLength = in.read(16) << 8;
        blockLength |= in.read(8);
        blockRemaining = blockLength;
        switch (blockKind) {
        case alignedBlock: {
            std::array<unsigned char, alignedSymbols> lengths{};
            for (auto& l : lengths)
                l = static_cast<unsigned char>(in.read(3));
            if (!alignedCode.build(lengths.data(), alignedSymbols))
                return false;
        }
            [[fallthrough]];
        case verbatimBlock:
            if (!readLengths(mainLengths.data(), 0, literals, int(mainLengths.size()))
                || !readLengths(mainLengths.data(), literals, mainSymbols, int(mainLengths.size()))
                || !mainCode.build(mainLengths.data(), mainSymbols))
                return false;
            if (mainLengths[0xE8] != 0)
                callsSeen = true;
            if (!readLengths(lengthLengths.data(), 0, lengthSymbols, int(lengthLengths.size()))
                || !lengthCode.build(lengthLengths.data(), lengthSymbols))
                return false;
            lengthCodeEmpty = std::all_of(lengthLengths.begin(), lengthLengths.begin() + lengthSymbols,
                                          [](unsigned char l) { return l == 0; });
            break;
        case storedBlock: {
            callsSeen = true;
            in.alignForStored();
            std::array<unsigned char, 12> offsets{};
            if (!in.copyBytes(offsets.data(), int(offsets.size())))
                return false;
            auto word = [&](int i) {
                return std::uint32_t(offsets[i]) | std::uint32_t(offsets[i + 1]) << 8
                       | std::uint32_t(offsets[i + 2]) << 16 | std::uint32_t(offsets[i + 3]) << 24;
            };
            r0 = word(0);
            r1 = word(4);
            r2 = word(8);
            break;
        }
        default: return false;
        }
        return in.ok();
    }

    // Code lengths for symbols first..last, sent as changes to the previous
    // block's lengths through a small code of their own.
    bool readLengths(unsigned char* lengths, int first, int last, int capacity)
    {
        std::array<unsigned char, pretreeSymbols> pretreeLengths{};
        for (auto& l : pretreeLengths)
            l = static_cast<unsigned char>(in.read(4));
        if (!pretree.build(pretreeLengths.data(), pretreeSymbols))
            return false;
        for (int x = first; x < last;) {
            int symbol = pretree.decode(in);
            int run = 1;
            if (symbol == 17 || symbol == 18) {
                run = symbol == 17 ? int(in.read(4)) + 4 : int(in.read(5)) + 20;
                if (run > capacity - x)
                    return false;
                std::fill(lengths + x, lengths + x + run, 0);
                x += run;
                continue;
            }
            if (symbol == 19) {
                run = int(in.read(1)) + 4;
                symbol = pretree.decode(in);
                if (run > capacity - x)
                    return false;
            }
            if (symbol < 0 || symbol > maxCodeLength || !in.ok())
                return false;
            const int length = (lengths[x] - symbol + 17) % 17;
            std::fill(lengths + x, lengths + x + run, static_cast<unsigned char>(length));
            x += run;
        }
        return in.ok();
    }

    // One literal or match at window[at], never past frameEnd.
    bool decodeSymbol(int& at, int frameEnd)
    {
        const int symbol = mainCode.decode(in);
        if (symbol < 0 || !in.ok())
            return false;
        if (symbol < literals) {
            window[std::size_t(at++)] = static_cast<unsigned char>(symbol);
            return true;
        }
        const int header = symbol - literals;
        int length = header & 7;
        if (length == 7) {
            const int more = lengthCodeEmpty ? -1 : lengthCode.decode(in);
            if (more < 0)
                return false;
            length += more;
        }
        length += minMatch;

        const int slot = header >> 3;
        std::uint32_t offset;
        if (slot == 0) {
            offset = r0;
        } else if (slot == 1) {
            offset = r1;
            r1 = r0;
            r0 = offset;
        } else if (slot == 2) {
            offset = r2;
            r2 = r0;
            r0 = offset;
        } else {
            const int extra = slots.extra[slot];
            offset = slots.base[slot] - 2;
            if (blockKind == alignedBlock && extra >= 3) {
                offset += in.read(extra - 3) << 3;
                const int low = alignedCode.decode(in);
                if (low < 0)
                    return false;
                offset += std::uint32_t(low);
            } else {
                offset += in.read(extra);
            }
            r2 = r1;
            r1 = r0;
            r0 = offset;
        }
        if (!in.ok() || offset == 0 || offset > std::uint32_t(windowSize) || offset > std::uint32_t(at - resetStart)
            || length > frameEnd - at)
            return false;
        unsigned char* to = window.data() + at;
        const unsigned char* from = to - offset;
        for (int i = 0; i < length; ++i) // overlapping copies repeat bytes
            to[i] = from[i];
        at += length;
        return true;
    }

    // The encoder turned x86 call targets (E8 xx xx xx xx) into absolute
    // addresses; turn them back. Bytes in the last 10 of a frame are left.
    static void undoCallTranslation(QByteArray& data, const translation& t)
    {
        auto* bytes = reinterpret_cast<unsigned char*>(data.data()) + t.start;
        std::int64_t position = t.position;
        for (int i = 0; i < t.length - 10;) {
            if (bytes[i++] != 0xE8) {
                ++position;
                continue;
            }
            const std::int32_t absolute =
                std::int32_t(std::uint32_t(bytes[i]) | std::uint32_t(bytes[i + 1]) << 8
                             | std::uint32_t(bytes[i + 2]) << 16 | std::uint32_t(bytes[i + 3]) << 24);
            if (absolute >= -position && absolute < t.fileSize) {
                const std::int64_t relative = absolute >= 0 ? absolute - position : absolute + t.fileSize;
                const auto value = std::uint32_t(relative);
                for (int b = 0; b < 4; ++b)
                    bytes[i + b] = static_cast<unsigned char>(value >> (8 * b));
            }
            i += 4;
            position += 5;
        }
    }

    bitReader in;
    const int windowSize;
    const int mainSymbols;
    const int resetFrames;
    const int outputLength;

    std::vector<unsigned char> window; // the whole output so far, untranslated
    int reached = 0;
    int resetStart = 0;
    std::uint32_t r0 = 1, r1 = 1, r2 = 1;
    bool headerRead = false;
    int blockKind = invalidBlock;
    std::uint32_t blockLength = 0;
    std::uint32_t blockRemaining = 0;
    std::array<unsigned char, maxMainSymbols + lengthSlack> mainLengths{};
    std::array<unsigned char, lengthSymbols + lengthSlack> lengthLengths{};
    bool lengthCodeEmpty = true;
    huffman pretree, mainCode, lengthCode, alignedCode;

    std::int32_t callFileSize = 0;
    bool callsSeen = false;
    std::int64_t callPosition = 0;
    std::vector<translation> translations;
};

} // namespace

QByteArray decompress(const QByteArray& stream, int windowBits, int resetFrames, int outputLength)
{
    if (windowBits < 15 || windowBits > 21 || resetFrames < 1 || outputLength < 0)
        return QByteArray();
    return decoder(stream, windowBits, resetFrames, outputLength).run();
}

} // namespace lzx
