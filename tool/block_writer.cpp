#include "tool/block_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <stdexcept>

#include "format/payload_format.h"
#include "tool/compression_pool.h"
#include "tool/tool_error.h"

namespace onefile::tool {
namespace {

inline constexpr char kEndMark = '\0';

void appendLittleEndian(std::string& bytes, std::uint64_t value) {
    for (std::size_t i = 0; i < 8; ++i) bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::uint8_t entryFlags(const PayloadEntry& entry) {
    std::uint8_t flags = 0;
    if (entry.executable) flags |= kEntryFlagExecutable;
    if (entry.kind == EntryKind::link) flags |= kEntryFlagLink;
    return flags;
}

// The header of a file entry whose content takes `storedSize` bytes.
std::string encodeFileHeader(const PayloadEntry& entry, std::uint8_t flags, std::uint64_t storedSize) {
    std::string header = entry.name;
    header.push_back('\0');
    header.push_back(static_cast<char>(flags));
    appendLittleEndian(header, storedSize);
    return header;
}

// The content asked for and not yet written stays within a few frames per
// compressing thread: enough that a thread finds more work while the writer
// waits for a large frame before it, few enough that memory holds a few
// frames per thread however large the application.
inline constexpr std::uint64_t kFramesInFlightPerThread = 3;
// Each file with frames in flight is open: many small files must not reach
// the usual limit of 1,024 open files.
inline constexpr std::size_t kMostFramesInFlight = 256;

std::uint64_t countFrames(std::uint64_t size) { return (size + kCompressedFrameBytes - 1) / kCompressedFrameBytes; }

// Whether an entry's content goes to the compressing threads: a file with
// content (even a frame of nothing has a header, so an empty file is stored).
bool isCompressible(const PayloadEntry& entry) { return entry.kind == EntryKind::file && entry.size > 0; }

// Asks the pool for the frames of the files ahead of the writer, in block
// order, as far as the bound on frames in flight allows. Files are opened
// here, on the writing thread and in block order, each once.
class FrameFeeder {
public:
    FrameFeeder(const std::vector<PayloadEntry>& entries, const ContentOpener& openContent, CompressionPool& pool)
        : entries_(entries), openContent_(openContent), pool_(pool),
          bytesInFlight_(kFramesInFlightPerThread * pool.threads() * kCompressedFrameBytes) {}

    // Asks for frames until the bound is reached or none are left.
    void fill() {
        while (nextEntry_ < entries_.size() && pool_.pendingBytes() < bytesInFlight_ &&
               pool_.pending() < kMostFramesInFlight) {
            const PayloadEntry& entry = entries_[nextEntry_];
            if (!isCompressible(entry)) {
                ++nextEntry_;
                continue;
            }
            if (nextOffset_ == 0) {
                feeding_ = openChecked(entry);
                opened_.push_back({nextEntry_, feeding_});
            }
            const std::uint64_t length = std::min(entry.size - nextOffset_, kCompressedFrameBytes);
            // One frame that reaches the content's size already makes the
            // frames larger than the content: the file is then stored.
            pool_.submit({feeding_, entry.sourcePath, nextOffset_, length, entry.size});
            nextOffset_ += length;
            if (nextOffset_ == entry.size) {
                ++nextEntry_;
                nextOffset_ = 0;
            }
        }
    }

    // The file of entry `index`, whose frames were asked for first of those
    // not yet taken; for storing it as it is when its frames do not fit.
    std::shared_ptr<const FileDescriptor> takeSource(std::size_t index) {
        fill();
        if (opened_.empty() || opened_.front().index != index)
            throw std::logic_error("the frames of the entries came out of order");
        std::shared_ptr<const FileDescriptor> source = std::move(opened_.front().source);
        opened_.pop_front();
        return source;
    }

private:
    struct OpenedFile {
        std::size_t index;
        std::shared_ptr<const FileDescriptor> source;
    };

    std::shared_ptr<const FileDescriptor> openChecked(const PayloadEntry& entry) const {
        auto source = std::make_shared<const FileDescriptor>(openContent_(entry));
        struct stat status {};
        if (::fstat(source->get(), &status) != 0)
            throw ToolError(entry.sourcePath, "cannot read: " + systemErrorText(errno));
        // The entry header states the size before the content: a file that
        // changed since the scan would make it a lie.
        if (!S_ISREG(status.st_mode) || static_cast<std::uint64_t>(status.st_size) != entry.size)
            throw ToolError(entry.sourcePath, "changed while being packed");
        return source;
    }

    const std::vector<PayloadEntry>& entries_;
    const ContentOpener& openContent_;
    CompressionPool& pool_;
    std::uint64_t bytesInFlight_;
    std::size_t nextEntry_ = 0;
    std::uint64_t nextOffset_ = 0;  // in the content of entries_[nextEntry_]
    // The file of entries_[nextEntry_]: its writer may have taken it out of
    // opened_ before the last of its frames were asked for.
    std::shared_ptr<const FileDescriptor> feeding_;
    std::deque<OpenedFile> opened_;
};

// Writes the file entry `index`, whose content is its frames from the pool,
// or, when they would not be smaller, the entry as it would be without
// compression. The header goes first with the size left open and is
// completed once the last frame is written.
void writeCompressedFile(OutputStream& output, const PayloadEntry& entry, std::size_t index, FrameFeeder& feeder,
                         CompressionPool& pool) {
    const std::shared_ptr<const FileDescriptor> source = feeder.takeSource(index);
    const std::uint64_t entryStart = output.position();
    output.write(encodeFileHeader(entry, static_cast<std::uint8_t>(entryFlags(entry) | kEntryFlagCompressed), 0));
    const std::uint64_t framesStart = output.position();
    bool fits = true;
    for (std::uint64_t frame = countFrames(entry.size); frame > 0; --frame) {
        feeder.fill();
        const CompressedFrame compressed = pool.takeNext();
        // The rest of the frames are still taken, to keep the order.
        if (!fits || !compressed.fits) {
            fits = false;
            continue;
        }
        output.write(std::span<const unsigned char>(compressed.bytes.data(), compressed.bytes.size()));
        fits = output.position() - framesStart < entry.size;
    }
    if (fits) {
        std::string framesBytes;
        appendLittleEndian(framesBytes, output.position() - framesStart);
        output.overwrite(framesStart - kContentSizeBytes,
                         std::span(reinterpret_cast<const unsigned char*>(framesBytes.data()), framesBytes.size()));
        return;
    }
    output.rewindTo(entryStart);
    output.write(encodeEntryHeader(entry));
    // The frames were read with pread: the file's offset is still 0.
    output.copyFrom(source->get(), entry.sourcePath, entry.size);
}

std::string encodeLengthTrailer(std::uint64_t bodyBytes) {
    std::string trailer;
    appendLittleEndian(trailer, bodyBytes);
    return trailer;
}

}  // namespace

std::string encodeEntryHeader(const PayloadEntry& entry) {
    if (entry.kind == EntryKind::file) return encodeFileHeader(entry, entryFlags(entry), entry.size);
    std::string header = entry.name;
    header.push_back('\0');
    header.push_back(static_cast<char>(entryFlags(entry)));
    header += entry.linkText;
    header.push_back('\0');
    return header;
}

std::uint64_t measureBlock(const std::vector<PayloadEntry>& entries) {
    std::uint64_t bytes = kPayloadMagicBytes + sizeof kEndMark + kLengthTrailerBytes;
    for (const PayloadEntry& entry : entries) {
        bytes += entry.name.size() + 2;  // NUL and flags
        bytes += entry.kind == EntryKind::link ? entry.linkText.size() + 1
                                               : kContentSizeBytes + entry.size;
    }
    return bytes;
}

void writeBlock(OutputStream& output, const std::vector<PayloadEntry>& entries, const ContentOpener& openContent,
                std::optional<int> compressionLevel, ProgressCounters* counters) {
    std::optional<CompressionPool> pool;
    std::optional<FrameFeeder> feeder;
    if (compressionLevel) {
        pool.emplace(*compressionLevel, countCompressionThreads(), counters);
        feeder.emplace(entries, openContent, *pool);
    }
    const std::uint64_t start = output.position();
    output.write(std::span(kPayloadMagic));
    for (std::size_t index = 0; index < entries.size(); ++index) {
        const PayloadEntry& entry = entries[index];
        if (pool && isCompressible(entry)) {
            writeCompressedFile(output, entry, index, *feeder, *pool);
        } else {
            output.write(encodeEntryHeader(entry));
            if (entry.kind == EntryKind::file) {
                const FileDescriptor source = openContent(entry);
                output.copyFrom(source.get(), entry.sourcePath, entry.size);
                // Compressed content is counted by the threads that read it.
                if (counters) {
                    counters->bytesRead += entry.size;
                    counters->bytesDone += entry.size;
                }
            }
        }
        if (counters) ++counters->entries;
    }
    output.write(std::string_view(&kEndMark, 1));
    output.write(encodeLengthTrailer(output.position() - start));
}

}  // namespace onefile::tool
