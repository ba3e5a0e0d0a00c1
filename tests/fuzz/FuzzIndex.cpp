// libFuzzer target for the update index reader: whatever it accepts must be
// consistent (entries in order inside the archive, chunks covering each file
// exactly) and, the encoding being canonical, serialize back to the same bytes.
#include "UpdateIndex.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));
    UpdateIndex index;
    QString why;
    if (!UpdateIndex::parse(input, index, &why)) {
        if (why.isEmpty())
            std::abort();
        return 0;
    }
    qint64 end = 0;
    for (const IndexEntry& entry : index.entries) {
        if (entry.offset < end || entry.offset > index.archiveSize)
            std::abort();
        end = entry.offset + 8;
        if (entry.type != VessariFormat::EntryType::File)
            continue;
        if (entry.dataOffset < entry.offset + 16 || entry.size < 0 ||
            entry.dataOffset + entry.size > index.archiveSize)
            std::abort();
        qint64 at = entry.dataOffset;
        for (const IndexChunk& chunk : entry.chunks) {
            if (chunk.offset != at || chunk.length <= 0 || chunk.hash.size() != 32)
                std::abort();
            at += chunk.length;
        }
        if (at != entry.dataOffset + entry.size)
            std::abort();
        end = at;
    }
    if (index.archiveDigest.size() != 64 || index.serialize() != input)
        std::abort();
    return 0;
}
