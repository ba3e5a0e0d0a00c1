#include "UpdateIndex.h"

#include <QFile>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ContentChunks {

// 16/64/256 KiB, chosen with bench/bench_chunking.cpp against 8/32/128 and
// 32/64/256 KiB (all at level 1): a 4 KiB overwrite at a random place costs
// 92 KB of new chunks on average (8/32/128: 61 KB, but 60 % more chunks, so a
// larger index, fetched whole at every update, and more ranges to fetch;
// 32/64/256: 102 KB, as a later minimum skips more cut points after an edit),
// for about 8 % more CPU time than 32/64/256.
const Sizes kSizes{16 * 1024, 64 * 1024, 256 * 1024};
// Normalized chunking, level 1: one mask bit more than the average asks for
// below it, one fewer above. Chosen with bench/bench_chunking.cpp, "what a
// player fetches" (the updates of bench/make_game.py's recipe, 5 seeds): one
// version behind level 1 fetches 8.48 MB (median; worst 8.60), level 2 8.53
// (8.80), level 0 8.61 (8.79); five behind 39.00 (39.30) against 39.69 (40.43)
// and 38.85 (39.56). Level 1 cuts 4 % fewer chunks than level 2, so its index
// is smaller too; level 0 is about even five behind but fetches more one
// behind, the usual case. A lone small edit costs a little less at level 2
// (87 KB against 92), whose lengths gather tighter; over a real update's mix
// of edits level 1 falls back in step with the old cut points sooner.
const int kLevel = 1;

namespace {

// The gear table: 256 values from splitmix64 seeded with a fixed constant, made
// by the compiler so that every build and every machine cuts the same chunks.
constexpr quint64 kGearSeed = 0x7665737361726921ULL;

constexpr quint64 splitmix64(quint64& state)
{
    state += 0x9E3779B97F4A7C15ULL;
    quint64 z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr std::array<quint64, 256> makeGear()
{
    std::array<quint64, 256> table{};
    quint64 state = kGearSeed;
    for (quint64& value : table)
        value = splitmix64(state);
    return table;
}

constexpr std::array<quint64, 256> kGear = makeGear();
// Pins the generator: a changed table would silently change every chunk.
static_assert(kGear[0] == 0x9e9a1ed95f69bcddULL && kGear[255] == 0x280458484b8e884bULL,
              "gear table changed");

// A mask of the top `bits` bits: with hash = (hash << 1) + gear[byte], bit k
// depends on the last k + 1 bytes only, so the top bits see the widest window.
constexpr quint64 topBits(int bits)
{
    return ~quint64(0) << (64 - bits);
}

int log2Of(qint32 value)
{
    int bits = 0;
    while ((qint64(1) << (bits + 1)) <= value)
        ++bits;
    return bits;
}

const EVP_MD* sha256()
{
    // Fetched once: an implicit fetch on every digest costs a lookup per chunk.
    static const EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

} // namespace

QByteArray hash(const char* data, qsizetype size)
{
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    if (!EVP_Digest(data, size_t(size), reinterpret_cast<unsigned char*>(digest.data()), &length,
                    sha256(), nullptr) ||
        length != 32)
        qFatal("SHA-256 failed");
    return digest;
}

struct Chunker::State
{
    Sink sink;
    Sizes sizes;
    // Below the average the strict mask (more bits, fewer cuts), above it the
    // loose one, so that lengths gather near the average.
    quint64 strictMask;
    quint64 looseMask;
    qint64 start = 0;  // the current chunk's offset in the stream
    qint64 length = 0; // its bytes so far
    quint64 gear = 0;
    EVP_MD_CTX* sha = nullptr;
    QByteArray digest = QByteArray(32, Qt::Uninitialized);

    void startChunk()
    {
        if (!EVP_DigestInit_ex(sha, sha256(), nullptr))
            qFatal("SHA-256 failed");
        gear = 0;
        length = 0;
    }

    // Rolls h over p[i..end); true with i just past the first byte where the
    // masked bits are all zero. Two bytes per step: the second hash adds both
    // table values to h shifted by two, so the dependency chain through h is
    // one shift and one add per two bytes instead of per byte, with the same
    // cut points (bench/bench_chunking.cpp, "one byte per step").
    static bool roll(const uchar* p, qsizetype& i, qsizetype end, quint64& h, quint64 mask)
    {
        for (; i + 1 < end; i += 2) {
            const quint64 first = (h << 1) + kGear[p[i]];
            const quint64 second = (h << 2) + ((kGear[p[i]] << 1) + kGear[p[i + 1]]);
            if (((first & mask) == 0) | ((second & mask) == 0)) {
                const bool atFirst = (first & mask) == 0;
                h = atFirst ? first : second;
                i += atFirst ? 1 : 2;
                return true;
            }
            h = second;
        }
        if (i < end) {
            h = (h << 1) + kGear[p[i]];
            ++i;
            return (h & mask) == 0;
        }
        return false;
    }

    // Consumes bytes of p up to and including a cut point, or all n of them.
    qsizetype scan(const uchar* p, qsizetype n, bool& cut)
    {
        qsizetype i = 0;
        // Cut-point skipping: no cut can fall below the minimum, so its bytes
        // are not rolled at all; the gear hash starts from zero there.
        if (length < sizes.min) {
            i = qsizetype(qMin<qint64>(sizes.min - length, n));
            if (length + i < sizes.min)
                return i;
        }
        quint64 h = gear;
        qint64 at = length + i; // position in the chunk of p[i]
        const qsizetype strictEnd =
            at < sizes.average ? i + qsizetype(qMin<qint64>(sizes.average - at, n - i)) : i;
        if (roll(p, i, strictEnd, h, strictMask)) {
            gear = h;
            cut = true;
            return i;
        }
        at = length + i;
        const qsizetype looseEnd = i + qsizetype(qMin<qint64>(sizes.max - at, n - i));
        if (roll(p, i, looseEnd, h, looseMask)) {
            gear = h;
            cut = true;
            return i;
        }
        gear = h;
        cut = length + i >= sizes.max;
        return i;
    }

    void endChunk()
    {
        unsigned int size = 0;
        if (!EVP_DigestFinal_ex(sha, reinterpret_cast<unsigned char*>(digest.data()), &size))
            qFatal("SHA-256 failed");
        // A copy per chunk: the sink may keep it.
        const QByteArray result(digest.constData(), 32);
        const qint64 offset = start;
        const auto chunkLength = qint32(length);
        start += length;
        startChunk();
        sink(offset, chunkLength, result);
    }
};

Chunker::Chunker(Sink onChunk) : Chunker(std::move(onChunk), kSizes) {}

Chunker::Chunker(Sink onChunk, const Sizes& sizes, int level) : d(new State)
{
    Q_ASSERT(sizes.min > 0 && sizes.min <= sizes.average && sizes.average <= sizes.max &&
             (sizes.average & (sizes.average - 1)) == 0 && level >= 0 && level <= 3);
    d->sink = std::move(onChunk);
    d->sizes = sizes;
    const int bits = log2Of(sizes.average);
    d->strictMask = topBits(bits + level);
    d->looseMask = topBits(bits - level);
    d->sha = EVP_MD_CTX_new();
    if (!d->sha)
        qFatal("out of memory");
    d->startChunk();
}

Chunker::~Chunker()
{
    EVP_MD_CTX_free(d->sha);
    delete d;
}

void Chunker::add(const char* data, qsizetype size)
{
    const auto* p = reinterpret_cast<const uchar*>(data);
    while (size > 0) {
        bool cut = false;
        const qsizetype used = d->scan(p, size, cut);
        // Hashed in the same pass, while the bytes are still in the cache.
        if (used > 0 && !EVP_DigestUpdate(d->sha, p, size_t(used)))
            qFatal("SHA-256 failed");
        d->length += used;
        p += used;
        size -= used;
        if (cut)
            d->endChunk();
    }
}

void Chunker::finish()
{
    if (d->length > 0)
        d->endChunk();
}

bool chunkFile(const QString& path, std::vector<IndexChunk>& chunks, QString* why)
{
    chunks.clear();
    const auto fail = [&](int error) {
        chunks.clear();
        if (why)
            *why = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(error)));
        return false;
    };
    // Only a regular file itself: a planted link, FIFO or device is not read
    // (a FIFO would block, a device never end).
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return fail(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(error);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (why)
            *why = QStringLiteral("%1: not a regular file").arg(path);
        chunks.clear();
        return false;
    }
    const int error = chunkDescriptor(fd, chunks);
    ::close(fd);
    return error == 0 || fail(error);
}

int chunkDescriptor(int fd, std::vector<IndexChunk>& chunks, qint64* bytesRead,
                    const std::function<bool(qint64 read)>& onRead)
{
    qint64 total = 0;
    chunks.clear();
    Chunker chunker([&chunks](qint64 offset, qint32 length, const QByteArray& sha) {
        chunks.push_back(IndexChunk{offset, length, sha});
    });
    constexpr qsizetype kPiece = 1024 * 1024;
    QByteArray buffer(kPiece, Qt::Uninitialized);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), size_t(kPiece));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            chunks.clear();
            return error;
        }
        if (got == 0)
            break;
        chunker.add(buffer.constData(), got);
        total += got;
        if (bytesRead)
            *bytesRead += got;
        if (onRead && !onRead(total)) {
            chunks.clear();
            return ECANCELED;
        }
    }
    // What was read is what the chunks describe, even if the file changed meanwhile.
    chunker.finish();
    return 0;
}

} // namespace ContentChunks
