/* block_search: copies from anywhere in the old value, anchored on hashed
 * windows sampled by content (contract in core/block_search.h).
 *
 * Invariants: anchors are kept in new-value order and never overlap in the
 * new value; every copy reaches the edit script either directly or from the
 * Myers engine run on a gap, so the script's budget keeps each edit delta
 * strictly shorter than the new value. A bucket holds at most kBucketSlots
 * old offsets, so no input makes a lookup slow. */
#include "core/block_search.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/delta.h"
#include "core/edit_script.h"
#include "core/execution.h"

namespace {

/* Hashed window length. */
constexpr int32_t kBlock = 16;
/* Windows whose mixed hash has these top bits clear are sampled, in both
 * values alike, so the same content is sampled wherever it lies: one window
 * in 8 on average, and one lookup per 8 bytes of the new value. */
constexpr int kSampleBits = 3;
/* Old bytes per bucket: as many slots as sampled windows on average. */
constexpr int64_t kBytesPerBucket = 32;
/* Slots per bucket: repetitive input (indentation, padding) cannot make one
 * lookup verify more candidates than this. */
constexpr int32_t kBucketSlots = 4;
/* Only long matches become anchors at first, so a common fragment such as an
 * indented key cannot take the place of the real, longer match; shorter ones
 * met on the way fill the gaps that the Myers engine will not see. */
constexpr int32_t kAnchorMinimum = 32;
constexpr int32_t kGapMatchMinimum = 12;
/* Gaps handed to the Myers engine: each side at most kMaxGapSide bytes and
 * the old side not much longer than the new one. The engine may spend
 * kGapWorkBase + kGapWorkPerByte diagonal visits per gap byte; a gap that
 * needs more is undone and sent as literal bytes, so the engine's work stays
 * linear in the input. */
constexpr int32_t kMaxGapSide = 8192;
constexpr int32_t kGapOldSlack = 256;
constexpr int64_t kGapWorkBase = 4096;
constexpr int64_t kGapWorkPerByte = 8;
/* The kGramLength-byte strings a gap's sides share are counted (hashed into
 * 2^kGramBits counters) before the engine runs. With none shared, no copy in
 * the gap would be worth its encoded size. Otherwise they bound the gap's
 * edit distance D from below, and a full search visits about D * D / 2
 * diagonals: a gap whose bound is beyond its allowance is not searched
 * either. Unsearched gaps go out as literal bytes. */
constexpr int32_t kGramLength = 4;
constexpr int kGramBits = 12;
static_assert(kMaxGapSide < 0xFFFF, "gram counts fit 16 bits");

/* Literal stretches are also searched densely near where the previous copy
 * came from (fields of a record reordered, lines of a function rewritten):
 * every position of the new bytes against the 8-byte windows of the old
 * bytes within kLocalRadius of it that start at a multiple of kLocalStride.
 * Every match of kLocalMatchMinimum bytes holds such a window, and is found
 * whole by extending it both ways. The table of a neighbourhood is reused
 * while the copies stay inside it, and all rebuilds together read at most
 * kLocalPerByte old bytes per input byte. */
constexpr int32_t kLocalWindow = 8;
constexpr int32_t kLocalStride = 2;
constexpr int64_t kLocalRadius = 4096;
constexpr int64_t kLocalPerByte = 8;
constexpr int32_t kLocalMatchMinimum = 12;
static_assert(kLocalMatchMinimum >= kLocalWindow + kLocalStride - 1,
              "a local match must hold a filed window");
/* Longer literal stretches are new content rather than rearranged fields:
 * not searched densely. */
constexpr int32_t kLocalMaxLiteral = 4 * kLocalRadius;

/* Runs of one byte (zero padding, blank space) are not indexed: their
 * windows would flood their buckets. Short-period content (pixels of one
 * colour, a repeated small record) has so few distinct windows that none may
 * be sampled. A run of period 1 to kMaxPeriod and at least kRunMinimum bytes
 * left in a literal stretch is copied from the longest old run of the same
 * pattern instead. */
constexpr int32_t kRunMinimum = 32;
constexpr int32_t kMaxPeriod = 16;
constexpr int32_t kRunWindow = 8 + kMaxPeriod;
static_assert(kRunMinimum >= kRunWindow + 7, "a run holds a periodic window at a multiple of 8");

/* Until the index is built, a match of at least kTrustedDiagonal bytes along
 * the last copy's diagonal is taken without a lookup: edits in place keep
 * the copies on one diagonal, and values that differ only by short ones need
 * no index at all. */
constexpr int32_t kTrustedDiagonal = 256;
/* A scan jumps over a match that ends this far past where it has hashed. */
constexpr int32_t kRestartDistance = 64;
/* New bytes with no sampled window (content of a period of 17 to 40 bytes
 * may have none; random bytes go a few dozen at most) are probed along the
 * last copy's diagonal every kProbeStride bytes once kProbeGap of them pass,
 * so an old run at the same place is still found. */
constexpr int32_t kProbeGap = 256;
constexpr int32_t kProbeStride = 64;
/* The index is built when a lookup first needs it. Until then, windows off
 * the last copy's diagonal wait while they lie within kIndexDelay bytes of
 * its end: an edit in place ends soon, and the diagonal resumes. */
constexpr int32_t kIndexDelay = 256;
/* New bytes scanned between two runs of the caller's poll (some tens of
 * milliseconds of scanning). */
constexpr int64_t kPollBytes = int64_t{1} << 22;

constexpr uint64_t kBucketMix = 0x9E3779B97F4A7C15ull;
constexpr uint8_t kNullByte = 0xF6;
constexpr uint64_t kMaxValueLength = INT32_MAX;

struct BufFree {
    void operator()(buf_s *buf) const { buf_free(buf); }
};
struct ScriptFree {
    void operator()(edit_script_s *script) const { edit_script_free(script); }
};
struct ExecutionFree {
    void operator()(execution_s *ex) const { execution_free(ex); }
};
using BufPtr = std::unique_ptr<buf_s, BufFree>;
using ScriptPtr = std::unique_ptr<edit_script_s, ScriptFree>;
using ExecutionPtr = std::unique_ptr<execution_s, ExecutionFree>;

bool is_readable(const buf_s *value)
{
    return value != nullptr && (value->data != nullptr || value->length == 0);
}

/* Bytes of the CBOR head that carries v. */
int32_t head_size(int64_t v) { return v < 24 ? 1 : v < 0x100 ? 2 : v < 0x10000 ? 3 : 5; }

/* The window hash is a gear hash: each byte adds its table entry and shifts
 * the sum by kGearShift, so after kBlock bytes (64 bits) a byte has left the
 * hash entirely and the hash depends on the window alone; one shift and one
 * add per byte. */
constexpr int kGearShift = 64 / kBlock;

struct GearTable {
    uint64_t entry[256];
};

/* Fixed pseudo-random entries (splitmix64 from a constant seed). */
constexpr GearTable make_gear_table()
{
    GearTable table{};
    uint64_t state = 0x6B6F7276616C656Eull;
    for (uint64_t &e : table.entry) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        e = z ^ (z >> 31);
    }
    return table;
}

constexpr GearTable kGear = make_gear_table();

inline uint64_t roll(uint64_t hash, uint8_t entering)
{
    return (hash << kGearShift) + kGear.entry[entering];
}

uint64_t block_hash(const uint8_t *p)
{
    uint64_t h = 0;
    for (int32_t i = 0; i < kBlock; ++i) {
        h = roll(h, p[i]);
    }
    return h;
}

bool is_one_byte_run(const uint8_t *p) { return std::memcmp(p, p + 1, kBlock - 1) == 0; }

uint64_t mixed(uint64_t hash) { return hash * kBucketMix; }

bool is_sampled(uint64_t mix) { return (mix >> (64 - kSampleBits)) == 0; }

/* 16 bits of a window's hash: they reject most foreign candidates without
 * reading the old value. */
uint16_t check_of(uint64_t mix) { return static_cast<uint16_t>(mix); }

/* kBucketSlots indexed windows: old offsets (-1: free) and their checks. */
struct Bucket {
    int32_t at[kBucketSlots];
    uint16_t check[kBucketSlots];
};

/* The index's buckets, every slot free: one block, read at random. A block
 * of kHugePage bytes or more is aligned to it and offered to the kernel for
 * huge pages (advice it may decline): at tens of megabytes most lookups
 * would otherwise miss the address translation cache as well. Throws
 * std::bad_alloc. */
class BucketArray {
public:
    explicit BucketArray(size_t count) : count_(count)
    {
        const size_t bytes = count * sizeof(Bucket);
        const bool huge = bytes >= kHugePage;
        const size_t reserved = huge ? (bytes + kHugePage - 1) / kHugePage * kHugePage : bytes;
        void *block = nullptr;
        if (posix_memalign(&block, huge ? kHugePage : alignof(std::max_align_t), reserved) != 0) {
            throw std::bad_alloc();
        }
#ifdef MADV_HUGEPAGE
        if (huge) {
            madvise(block, reserved, MADV_HUGEPAGE);
        }
#endif
        std::memset(block, 0xFF, bytes); /* every slot's offset is -1: free */
        data_ = static_cast<Bucket *>(block);
    }
    BucketArray(const BucketArray &) = delete;
    BucketArray &operator=(const BucketArray &) = delete;
    ~BucketArray() { std::free(data_); }

    size_t size() const { return count_; }
    Bucket &operator[](size_t i) { return data_[i]; }
    const Bucket &operator[](size_t i) const { return data_[i]; }

private:
    static constexpr size_t kHugePage = size_t{1} << 21;

    size_t count_;
    Bucket *data_ = nullptr;
};

/* The caller's poll (status.h), run once the index is built, then by the
 * passes over the new value (scanning, emitting) once per kPollBytes they
 * move on; it remembers once it has asked to stop. A pass keeps its next
 * polling point in a local, so the check in its loop is one comparison. */
class Poller {
public:
    Poller(kv_poll_fn poll, void *context) : poll_(poll), context_(context) {}

    /* The first polling point of a pass that starts at pos (none without a
     * poll). */
    int64_t first_point(int32_t pos) const
    {
        return poll_ == nullptr ? INT64_MAX : static_cast<int64_t>(pos) + kPollBytes;
    }
    /* Polls for a pass that reached pos at or past *point, and moves *point
     * on: true when the search must stop. */
    [[gnu::noinline]] bool stop(int32_t pos, int64_t *point)
    {
        *point = static_cast<int64_t>(pos) + kPollBytes;
        stopped_ = stopped_ || (poll_ != nullptr && poll_(context_) != 0);
        return stopped_;
    }
    bool stopped() const { return stopped_; }

private:
    kv_poll_fn poll_;
    void *context_;
    bool stopped_ = false;
};

class BlockIndex;

/* The sampled windows of bytes[from, end) in order, with their mixed hashes,
 * produced up to a few hundred bytes ahead of use so that their buckets
 * (random reads in a large index) are fetched while earlier windows are
 * handled. Restartable at any position: a window is sampled or not by its
 * content alone, so where the stream restarts changes nothing it yields. */
class SampleStream {
public:
    SampleStream(const uint8_t *bytes, int32_t end, const BlockIndex &index)
        : bytes_(bytes), end_(end), index_(index)
    {
        restart(0);
    }

    void restart(int32_t from)
    {
        cursor_ = from;
        head_ = 0;
        count_ = 0;
        if (end_ - cursor_ >= kBlock) {
            hash_ = block_hash(bytes_ + cursor_);
        }
    }

    /* Where the stream has hashed up to: windows before it are queued. */
    int32_t cursor() const { return cursor_; }

    inline bool next(int32_t *at, uint64_t *mix);

private:
    /* Windows hashed per round of fill() (the width of its sampling mask),
     * and the queue's room: a round's worth more than a round may find
     * queued. */
    static constexpr int32_t kStride = 64;
    static constexpr int32_t kAhead = 128;
    /* A window's bucket is fetched when it comes this close to the head of
     * the queue: about as many as the memory system has misses in flight.
     * Fetching a whole round's windows at once, far ahead, was slower on
     * large indexes. */
    static constexpr int32_t kFetchAhead = 16;

    inline void fill();
    inline void push(int32_t at, uint64_t mix, int32_t *count);

    const uint8_t *bytes_;
    int32_t end_;
    const BlockIndex &index_;
    int32_t cursor_ = 0;
    uint64_t hash_ = 0;
    int32_t at_[kAhead] = {};
    uint64_t mix_[kAhead] = {};
    int32_t head_ = 0;
    int32_t count_ = 0;
};

/* Index of the old value's sampled windows: one bucket per kBytesPerBucket
 * old bytes (24 bytes each, so three quarters of the old value's size), each
 * bucket keeping the earliest windows that land in it. Built when a lookup
 * first needs it (values that differ by short edits in place never do). */
class BlockIndex {
public:
    BlockIndex(const uint8_t *old_bytes, int32_t old_length)
        : old_bytes_(old_bytes), old_length_(old_length)
    {}

    bool built() const { return buckets_ != nullptr; }

    /* Files the old value's windows; throws std::bad_alloc. Not inlined: the
     * filing loop, the hot part of indexing, is then compiled on its own
     * rather than inside whatever calls it. */
    [[gnu::noinline]] void build()
    {
        buckets_ =
            std::make_unique<BucketArray>(static_cast<size_t>(old_length_ / kBytesPerBucket + 1));
        /* Sampled windows wait in a short queue while their buckets are
         * fetched; they are filed in old-value order all the same. */
        SampleStream stream(old_bytes_, old_length_, *this);
        int32_t at = 0;
        uint64_t mix = 0;
        while (stream.next(&at, &mix)) {
            if (!is_one_byte_run(old_bytes_ + at)) {
                file(at, mix);
            }
        }
    }

    /* The bucket of a sampled window's mixed hash, once built. */
    const Bucket &bucket(uint64_t mix) const { return (*buckets_)[bucket_index(mix)]; }
    /* Fetches that bucket ahead of use (nothing before the index is built). */
    void prefetch(uint64_t mix) const
    {
        if (buckets_ != nullptr) {
            __builtin_prefetch(&(*buckets_)[bucket_index(mix)]);
        }
    }

private:
    void file(int32_t at, uint64_t mix)
    {
        /* The first free slot, found without a branch per slot: whether a
         * bucket is full varies from window to window. */
        Bucket &bucket = (*buckets_)[bucket_index(mix)];
        uint32_t free_slots = 0;
        for (int32_t i = 0; i < kBucketSlots; ++i) {
            free_slots |= (static_cast<uint32_t>(bucket.at[i]) >> 31) << i;
        }
        if (free_slots != 0) {
            const int32_t i = __builtin_ctz(free_slots);
            bucket.at[i] = at;
            bucket.check[i] = check_of(mix);
        }
    }

    /* 32 bits below the sampling bits, scaled to the bucket count. */
    size_t bucket_index(uint64_t mix) const
    {
        const uint64_t bits = (mix << kSampleBits) >> 32;
        return static_cast<size_t>((bits * buckets_->size()) >> 32);
    }

    const uint8_t *old_bytes_;
    int32_t old_length_;
    std::unique_ptr<BucketArray> buckets_;
};

void SampleStream::fill()
{
    /* Locals: stores into the queue could otherwise alias the members. */
    int32_t cursor = cursor_;
    int32_t count = count_;
    uint64_t hash = hash_;
    const int32_t last = end_ - kBlock;
    /* The tight part: kStride windows at a time, their sampling gathered in
     * a mask, so that whether a window is sampled (one in 8, at random) costs
     * no branch of its own; the queue has room for all of them. */
    while (count <= kAhead - kStride && last - cursor >= kStride) {
        uint64_t mixes[kStride];
        uint64_t sampled = 0;
        for (int32_t i = 0; i < kStride; ++i) {
            mixes[i] = mixed(hash);
            sampled |= static_cast<uint64_t>(is_sampled(mixes[i])) << i;
            hash = roll(hash, bytes_[cursor + i + kBlock]);
        }
        for (; sampled != 0; sampled &= sampled - 1) {
            const int32_t i = __builtin_ctzll(sampled);
            push(cursor + i, mixes[i], &count);
        }
        cursor += kStride;
    }
    /* The last windows, one at a time. */
    while (count < kAhead && cursor <= last && last - cursor < kStride) {
        const uint64_t mix = mixed(hash);
        if (is_sampled(mix)) {
            push(cursor, mix, &count);
        }
        if (cursor < last) {
            hash = roll(hash, bytes_[cursor + kBlock]);
        }
        ++cursor;
    }
    cursor_ = cursor;
    count_ = count;
    hash_ = hash;
}

bool SampleStream::next(int32_t *at, uint64_t *mix)
{
    fill();
    if (count_ == 0) {
        return false;
    }
    *at = at_[head_];
    *mix = mix_[head_];
    head_ = (head_ + 1) % kAhead;
    --count_;
    /* The window that is now kFetchAhead - 1 from the head. */
    if (count_ >= kFetchAhead) {
        index_.prefetch(mix_[(head_ + kFetchAhead - 1) % kAhead]);
    }
    return true;
}

void SampleStream::push(int32_t at, uint64_t mix, int32_t *count)
{
    const int32_t slot = (head_ + *count) % kAhead;
    at_[slot] = at;
    mix_[slot] = mix;
    if (*count < kFetchAhead) {
        index_.prefetch(mix);
    }
    ++*count;
}

struct Anchor {
    int32_t old_start;
    int32_t new_start;
    int32_t length;
};

struct Candidate {
    int32_t old_start = -1;
    int32_t new_start = 0;
    int32_t length = 0;
    int64_t saving = 0;
};

/* One greedy scan of new[lo, hi) against the old value: sampled windows are
 * matched along the last copy's diagonal and, once the index is built, with
 * the indexed windows of the same hash. */
class Scanner {
public:
    /* The content before lo is copied in place (the common prefix), so the
     * diagonal of offset 0 is tried first. */
    Scanner(const buf_s *old_value, const buf_s *new_value, BlockIndex &index, Poller *poller,
            int32_t lo, int32_t hi)
        : old_(old_value->data), old_length_(static_cast<int32_t>(old_value->length)),
          new_(new_value->data), index_(index), poller_(poller), lo_(lo), hi_(hi),
          poll_point_(poller->first_point(lo)), literal_start_(lo), short_end_(lo), looked_up_(lo)
    {}

    /* Appends the anchors found, in new-value order, each at least
     * kAnchorMinimum bytes long, to *anchors, and the shorter matches worth
     * their encoded size (at least kGapMatchMinimum bytes, none overlapping
     * the one before) to *shorter. Ends early when the poller asks to stop.
     * Called once. */
    void scan(std::vector<Anchor> *anchors, std::vector<Anchor> *shorter)
    {
        anchors_ = anchors;
        shorter_ = shorter;
        /* The stream is a local, not a member: its writes then cannot alias
         * the scanner's state, which stays in registers through the loop. */
        SampleStream stream(new_, hi_, index_);
        stream.restart(lo_);
        do {
            if (!scan_windows(stream)) {
                return;
            }
        } while (waiting_ && build_and_rewind(stream));
        if (!poller_->stopped()) {
            probe_to(stream, hi_);
        }
    }

private:
    /* Handles the stream's sampled windows up to its end: false when the
     * poller asks to stop. */
    bool scan_windows(SampleStream &stream)
    {
        int32_t pos = 0;
        uint64_t mix = 0;
        while (stream.next(&pos, &mix)) {
            if (pos < literal_start_) {
                continue; /* inside the last match */
            }
            if (pos >= poll_point_ && poller_->stop(pos, &poll_point_)) {
                return false;
            }
            if (!window(stream, pos, mix)) {
                return false;
            }
        }
        return true;
    }

    /* The sampled window at pos, at or past the literal start: false when
     * the poller asks to stop. */
    bool window(SampleStream &stream, int32_t pos, uint64_t mix)
    {
        if (pos - std::max(looked_up_, literal_start_) > kProbeGap) {
            if (waiting_) {
                /* Windows are looked up before the stretch after them is
                 * probed. */
                return build_and_rewind(stream);
            }
            probe_to(stream, pos);
            if (pos < literal_start_) {
                return true;
            }
        }
        looked_up_ = pos;
        Candidate best = along_at(pos);
        if (!index_.built()) {
            const IndexNeed need = index_need(best, pos, literal_start_);
            waiting_ = need == IndexNeed::kLater;
            if (need == IndexNeed::kNow) {
                return build_and_rewind(stream);
            }
            if (need == IndexNeed::kLater) {
                return true;
            }
        } else {
            look_up(pos, mix, &best);
        }
        keep(stream, best);
        return true;
    }

    /* A match found at a window: an anchor when long enough, else kept as a
     * shorter match when worth its size. */
    void keep(SampleStream &stream, const Candidate &best)
    {
        if (best.old_start < 0 || best.saving <= 0) {
            return;
        }
        if (best.length >= kAnchorMinimum) {
            accept(stream, best);
        } else if (best.length >= kGapMatchMinimum && best.new_start >= short_end_) {
            shorter_->push_back(Anchor{best.old_start, best.new_start, best.length});
            short_end_ = best.new_start + best.length;
        }
    }

    void accept(SampleStream &stream, const Candidate &best)
    {
        anchors_->push_back(Anchor{best.old_start, best.new_start, best.length});
        waiting_ = false;
        literal_start_ = best.new_start + best.length;
        diagonal_ = static_cast<int64_t>(best.old_start) - best.new_start;
        /* Skipping a long match beats hashing through it. */
        if (literal_start_ - stream.cursor() > kRestartDistance) {
            stream.restart(literal_start_);
        }
    }

    /* Probes the diagonal through the literal bytes up to end that no
     * window was looked up in, every kProbeStride bytes. */
    void probe_to(SampleStream &stream, int32_t end)
    {
        for (int32_t q = std::max(looked_up_, literal_start_); end - q > kProbeGap;
             q = std::max(q + kProbeStride, literal_start_)) {
            const Candidate best = along_at(q);
            if (best.old_start >= 0 && best.saving > 0 && best.length >= kAnchorMinimum) {
                accept(stream, best);
            }
        }
    }

    /* Builds the index, and goes back to the literal start so that the
     * windows that waited for it are handled again: false when the poller
     * asks to stop. */
    bool build_and_rewind(SampleStream &stream)
    {
        index_.build();
        waiting_ = false;
        stream.restart(literal_start_);
        return !poller_->stop(literal_start_, &poll_point_);
    }

    enum class IndexNeed { kNone, kLater, kNow };

    /* Before the index is built: whether the window at pos, whose match
     * along the diagonal is `along`, does without it (a trusted match that
     * leaves too few literal bytes to hold a window), waits for it (fewer
     * than kIndexDelay bytes past the literal start: an edit in place may
     * end soon) or needs it now. A stream that ends while windows wait
     * needs it too. */
    static IndexNeed index_need(const Candidate &along, int32_t pos, int32_t literal_start)
    {
        if (along.length >= kTrustedDiagonal) {
            return along.new_start - literal_start < kBlock ? IndexNeed::kNone : IndexNeed::kNow;
        }
        return pos - literal_start < kIndexDelay ? IndexNeed::kLater : IndexNeed::kNow;
    }

    /* The match along the last copy's diagonal at pos, if any. */
    Candidate along_at(int32_t pos) const
    {
        Candidate best;
        const int64_t along = pos + diagonal_;
        if (pos <= hi_ - kBlock && along >= 0 &&
            along <= static_cast<int64_t>(old_length_) - kBlock) {
            consider(static_cast<int32_t>(along), pos, &best);
        }
        return best;
    }

    /* The match of new[pos, +kBlock) with old[at, +kBlock), extended forward
     * up to the scan's end and backward into the literal bytes. */
    void consider(int32_t at, int32_t pos, Candidate *best) const
    {
        if (std::memcmp(old_ + at, new_ + pos, kBlock) != 0) {
            return;
        }
        const int32_t ahead_limit = std::min(old_length_ - at, hi_ - pos) - kBlock;
        const int32_t ahead =
            kBlock +
            static_cast<int32_t>(execution_match_forward(old_ + at + kBlock, new_ + pos + kBlock,
                                                         static_cast<size_t>(ahead_limit)));
        const int32_t behind = static_cast<int32_t>(execution_match_backward(
            old_ + at, new_ + pos, static_cast<size_t>(std::min(at, pos - literal_start_))));
        const int32_t length = ahead + behind;
        const int32_t start = at - behind;
        const int64_t saving = static_cast<int64_t>(length) - head_size(start) - head_size(length);
        if (saving > best->saving) {
            *best = Candidate{start, pos - behind, length, saving};
        }
    }

    /* Improves *best with the indexed windows that share pos's mixed hash
     * (the index built). */
    void look_up(int32_t pos, uint64_t mix, Candidate *best) const
    {
        const int64_t along = pos + diagonal_;
        const Bucket &bucket = index_.bucket(mix);
        const uint16_t check = check_of(mix);
        for (int32_t i = 0; i < kBucketSlots && bucket.at[i] >= 0; ++i) {
            if (bucket.check[i] == check && bucket.at[i] != along) {
                consider(bucket.at[i], pos, best);
            }
        }
    }

    const uint8_t *old_;
    int32_t old_length_;
    const uint8_t *new_;
    BlockIndex &index_;
    Poller *poller_;
    int32_t lo_;
    int32_t hi_;
    std::vector<Anchor> *anchors_ = nullptr;
    std::vector<Anchor> *shorter_ = nullptr;
    int64_t poll_point_;
    int32_t literal_start_; /* where the bytes not yet copied begin */
    int32_t short_end_;     /* the end of the last shorter match */
    int32_t looked_up_;     /* new bytes before it had a window looked up or probed */
    int64_t diagonal_ = 0;  /* old offset minus new offset of the last copy */
    bool waiting_ = false;  /* windows wait for the index */
};

/* The 8 bytes at p as a number whose lowest byte is p[0]. */
uint64_t load_le64(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

/* The high bit of each byte of v that is zero, and no other bit. */
uint64_t zero_bytes(uint64_t v)
{
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    return ~(((v & kLow7) + kLow7) | v | kLow7);
}

/* The shortest period, 1 to kMaxPeriod, of the 8 + kMaxPeriod bytes at p
 * (each byte equal to the one that many places later), or 0 when none fits.
 * Only the periods at which p[0] and p[1] recur, found 8 at a time, are
 * compared whole. */
int32_t window_period(const uint8_t *p)
{
    static_assert(kMaxPeriod == 16, "two words of candidate periods");
    constexpr uint64_t kEveryByte = 0x0101010101010101ull;
    const uint64_t byte0 = uint64_t{p[0]} * kEveryByte;
    const uint64_t byte1 = uint64_t{p[1]} * kEveryByte;
    const uint64_t first = load_le64(p);
    for (int32_t base = 1; base <= kMaxPeriod; base += 8) {
        uint64_t c =
            zero_bytes(load_le64(p + base) ^ byte0) & zero_bytes(load_le64(p + base + 1) ^ byte1);
        for (; c != 0; c &= c - 1) {
            const int32_t period = base + __builtin_ctzll(c) / 8;
            if (load_le64(p + period) == first) {
                return period;
            }
        }
    }
    return 0;
}

/* A periodic run: bytes[start, start + length) with bytes[i] equal to
 * bytes[i - period] throughout. */
struct Run {
    int32_t start;
    int32_t length;
    int32_t period;
};

/* The periodic runs at least kRunMinimum long in bytes[lo, hi), in order and
 * not overlapping; visits each byte a few times at most. Such a run holds a
 * periodic window at a multiple of 8, so only those are tested at first.
 * False when the poller asked to stop (the runs are then incomplete). */
template <typename Visit>
bool for_each_run(const uint8_t *bytes, int32_t lo, int32_t hi, Poller *poller, Visit visit)
{
    /* 64-bit positions: rounding up to a multiple of 8 may pass 2^31. */
    int64_t floor = lo;
    int64_t pos = (int64_t{lo} + 7) / 8 * 8;
    int64_t poll_point = poller->first_point(lo);
    while (pos + kRunWindow <= hi) {
        if (pos >= poll_point && poller->stop(static_cast<int32_t>(pos), &poll_point)) {
            return false;
        }
        const int32_t period = window_period(bytes + pos);
        if (period == 0) {
            pos += 8;
            continue;
        }
        /* A run continues while each byte equals the one a period before:
         * compared a word at a time, as a run may span the whole value. */
        const int64_t start =
            pos - static_cast<int64_t>(execution_match_backward(bytes + pos, bytes + pos + period,
                                                                static_cast<size_t>(pos - floor)));
        int64_t end = pos + 8 + period;
        end += static_cast<int64_t>(execution_match_forward(bytes + end - period, bytes + end,
                                                            static_cast<size_t>(hi - end)));
        if (end - start >= kRunMinimum) {
            visit(Run{static_cast<int32_t>(start), static_cast<int32_t>(end - start), period});
            floor = end;
        }
        pos = (end + 7) / 8 * 8;
    }
    return true;
}

/* The run from its first position whose next `period` bytes are the
 * bytewise least rotation of its pattern: two runs of one pattern line up
 * from there whatever their phase. */
Run aligned(const uint8_t *bytes, const Run &run)
{
    const uint8_t *p = bytes + run.start;
    int32_t least = 0;
    for (int32_t r = 1; r < run.period; ++r) {
        if (std::memcmp(p + r, p + least, static_cast<size_t>(run.period)) < 0) {
            least = r;
        }
    }
    return Run{run.start + least, run.length - least, run.period};
}

/* The longest aligned run of each pattern in the old value, found on first
 * use. Patterns of one byte have a slot each; longer ones share
 * kPatternSlots slots by hash, a slot keeping the longest run that lands in
 * it, so a lookup may miss but never returns another pattern. */
class RunSource {
public:
    RunSource(const uint8_t *old_bytes, int32_t old_length, Poller *poller)
        : old_(old_bytes), old_length_(old_length), poller_(poller)
    {}

    /* An old aligned run of the same pattern as the aligned run `at` of
     * bytes, as an anchor whose new_start is unset. */
    bool find(const uint8_t *bytes, const Run &at, Anchor *source)
    {
        if (slots_.empty()) {
            scan();
        }
        const Run &s = slots_[slot_of(bytes + at.start, at.period)];
        *source = Anchor{s.start, 0, s.length};
        return s.length > 0 && s.period == at.period &&
               std::memcmp(old_ + s.start, bytes + at.start, static_cast<size_t>(at.period)) == 0;
    }

private:
    static constexpr size_t kPatternSlots = 4096;

    static size_t slot_of(const uint8_t *pattern, int32_t period)
    {
        if (period == 1) {
            return pattern[0];
        }
        uint64_t h = static_cast<uint64_t>(period);
        for (int32_t i = 0; i < period; ++i) {
            h = (h ^ pattern[i]) * kBucketMix;
        }
        return 256 + static_cast<size_t>((h >> 32) % (kPatternSlots - 256));
    }

    void scan()
    {
        slots_.assign(kPatternSlots, Run{0, 0, 0});
        /* Stopped by the poller, the slots stay incomplete: the search ends. */
        for_each_run(old_, 0, old_length_, poller_, [this](const Run &run) {
            const Run a = aligned(old_, run);
            Run &s = slots_[slot_of(old_ + a.start, a.period)];
            if (a.length > s.length) {
                s = a;
            }
        });
    }

    const uint8_t *old_;
    int32_t old_length_;
    Poller *poller_;
    std::vector<Run> slots_;
};

/* Appends copies for the periodic runs in the literal stretch new[lo, hi),
 * in new-value order; a run longer than its old source takes several copies
 * of it, each a whole number of periods but the last. False when the poller
 * asked to stop. */
bool add_runs(const uint8_t *new_bytes, int32_t lo, int32_t hi, RunSource *runs,
              std::vector<Anchor> *out, Poller *poller)
{
    return for_each_run(new_bytes, lo, hi, poller, [&](const Run &run) {
        const Run a = aligned(new_bytes, run);
        Anchor source{};
        if (!runs->find(new_bytes, a, &source)) {
            return;
        }
        const int32_t whole = source.length - source.length % run.period;
        for (int32_t done = 0; a.length - done >= kRunMinimum;) {
            const int32_t piece = std::min(a.length - done, whole);
            out->push_back(Anchor{source.old_start, a.start + done, piece});
            done += piece;
        }
    });
}

/* What a gap's search may change, to put back when the gap is sent as
 * literal bytes instead. */
struct Checkpoint {
    coallescing_script_s record;
    edit_script_s script;
    uint64_t output_length;
};

size_t gram_slot(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<size_t>((v * 0x9E3779B1u) >> (32 - kGramBits));
}

/* The kGramLength-byte strings that a[0, n) and b[0, m) share, counted
 * with multiplicity; a hash collision can only add to the count. counts
 * holds 2^kGramBits zeros on entry and on return. */
int64_t shared_grams(const uint8_t *a, int32_t n, const uint8_t *b, int32_t m, uint16_t *counts)
{
    if (n < kGramLength || m < kGramLength) {
        return 0;
    }
    for (int32_t i = 0; i + kGramLength <= n; ++i) {
        ++counts[gram_slot(a + i)];
    }
    int64_t shared = 0;
    for (int32_t i = 0; i + kGramLength <= m; ++i) {
        uint16_t &count = counts[gram_slot(b + i)];
        if (count > 0) {
            --count;
            ++shared;
        }
    }
    for (int32_t i = 0; i + kGramLength <= n; ++i) {
        counts[gram_slot(a + i)] = 0;
    }
    return shared;
}

/* A lower bound on the insertions plus deletions that turn a side of n bytes
 * into one of m bytes that share `shared` grams. Each edit destroys at most
 * kGramLength of the grams of either side, and the grams that survive are
 * shared, so the distance is at least (grams of a side - shared grams) /
 * kGramLength; counting too many shared grams only weakens the bound. */
int64_t edit_distance_floor(int32_t n, int32_t m, int64_t shared)
{
    const int64_t length_gap = n > m ? n - m : m - n;
    const int64_t unshared = std::max<int64_t>(0, std::max(n, m) - kGramLength + 1 - shared);
    return std::max(length_gap, (unshared + kGramLength - 1) / kGramLength);
}

bool engine_takes_gap(int64_t old_gap, int64_t new_gap)
{
    return old_gap > 0 && new_gap > 0 && new_gap <= kMaxGapSide && old_gap <= kMaxGapSide &&
           old_gap <= new_gap * 4 + kGapOldSlack;
}

/* Turns anchors and the gaps between them into reports to the coalescing
 * record, in new-value order. */
class Emitter {
public:
    Emitter(execution_s *ex, coallescing_script_s *record, Poller *poller)
        : ex_(ex), record_(record), poller_(poller), poll_point_(poller->first_point(0)),
          runs_(ex->old_value->data, static_cast<int32_t>(ex->old_value->length), poller)
    {}

    bool anchor(const Anchor &a)
    {
        if (!gap(a.old_start, a.new_start)) {
            return false;
        }
        if (!copy(a.old_start, a.length)) {
            return false;
        }
        old_end_ = a.old_start + a.length;
        new_end_ = a.new_start + a.length;
        return true;
    }

    /* Everything from the last anchor to the ends of both values. */
    bool finish(int32_t old_length, int32_t new_length) { return gap(old_length, new_length); }

private:
    /* The gap up to old_next / new_next: searched by the Myers engine when
     * the old side follows the last anchor and both sides are small, sent as
     * literal bytes (and run copies) otherwise or when the search needs too
     * much work. */
    bool gap(int32_t old_next, int32_t new_next)
    {
        if (new_next >= poll_point_ && poller_->stop(new_next, &poll_point_)) {
            return false;
        }
        const int32_t new_gap = new_next - new_end_;
        const int64_t old_gap = static_cast<int64_t>(old_next) - old_end_;
        if (new_gap <= 0) {
            return true;
        }
        const int64_t allowance = kGapWorkBase + kGapWorkPerByte * (old_gap + new_gap);
        if (engine_takes_gap(old_gap, new_gap) &&
            worth_searching(static_cast<int32_t>(old_gap), new_gap, allowance)) {
            const Checkpoint saved = checkpoint();
            ex_->work_left = allowance;
            if (execution_diff(ex_, old_end_, static_cast<int32_t>(old_gap), new_end_, new_gap) !=
                0) {
                return literal_if_smaller(saved, new_next);
            }
            if (ex_->work_left >= 0) {
                return false; /* budget spent or allocation failed */
            }
            restore(saved);
        }
        return literal(new_end_, new_next);
    }

    /* After the engine wrote the gap up to new_next: sends it as literal
     * bytes instead when that encodes smaller, as when the engine's copies
     * are a few bytes each, split by skipped old bytes. */
    bool literal_if_smaller(const Checkpoint &before, int32_t new_next)
    {
        const int64_t searched_cost = encoded_cost();
        const Checkpoint searched = checkpoint();
        buf_s *const output = record_->script->output;
        searched_bytes_.assign(output->data + before.output_length, output->data + output->length);
        restore(before);
        const bool sent = literal(new_end_, new_next);
        if (sent && encoded_cost() < searched_cost) {
            return true;
        }
        if (record_->script->output == nullptr || poller_->stopped()) {
            return false; /* allocation failed, or the search is to stop */
        }
        /* The engine's result, as it was. */
        restore(before);
        buf_write_bytes(output, searched_bytes_.data(), searched_bytes_.size());
        if (output->length != searched.output_length) {
            buf_free(output); /* as a failed append of the script leaves it */
            record_->script->output = nullptr;
            return false;
        }
        restore(searched);
        return true;
    }

    /* The bytes written so far and what the pending runs will take. */
    int64_t encoded_cost() const
    {
        const edit_script_s *script = record_->script;
        int64_t cost = static_cast<int64_t>(script->output->length);
        if (script->insert_start >= 0) {
            cost += head_size(script->insert_length) + script->insert_length;
        }
        if (script->match_start >= 0) {
            cost += head_size(script->match_start) + head_size(script->match_length);
        }
        if (record_->pending == COALESCING_PENDING_INSERT) {
            cost += head_size(record_->length) + record_->length;
        } else if (record_->pending == COALESCING_PENDING_COPY) {
            cost += head_size(record_->old_base + record_->start) + head_size(record_->length);
        }
        return cost;
    }

    bool copy(int32_t old_start, int32_t length)
    {
        /* The record extends a pending copy blindly: end it first unless the
         * new copy continues it in the old value. */
        if (record_->pending == COALESCING_PENDING_COPY &&
            record_->old_base + record_->start + record_->length != old_start &&
            !coallescing_script_delete(record_)) {
            return false;
        }
        return coallescing_script_match(record_, old_start, length) != 0;
    }

    /* new[from, to) as literal bytes, but for its short-period runs, which
     * are copied from old runs of the same pattern. */
    bool literal(int32_t from, int32_t to)
    {
        runs_found_.clear();
        if (to - from >= kRunMinimum &&
            !add_runs(ex_->new_value->data, from, to, &runs_, &runs_found_, poller_)) {
            return false;
        }
        for (const Anchor &r : runs_found_) {
            if (r.new_start > from &&
                !coallescing_script_insert(record_, from, r.new_start - from)) {
                return false;
            }
            if (!copy(r.old_start, r.length)) {
                return false;
            }
            from = r.new_start + r.length;
        }
        return from == to || coallescing_script_insert(record_, from, to - from) != 0;
    }

    /* Whether the sides share a string that could make a copy worth its
     * size, and the search may end within the allowance. */
    bool worth_searching(int32_t old_gap, int32_t new_gap, int64_t allowance)
    {
        if (grams_.empty()) {
            grams_.assign(size_t{1} << kGramBits, 0);
        }
        const int64_t shared =
            shared_grams(ex_->old_value->data + old_end_, old_gap, ex_->new_value->data + new_end_,
                         new_gap, grams_.data());
        const int64_t floor = edit_distance_floor(old_gap, new_gap, shared);
        return shared > 0 && floor * floor <= 2 * allowance;
    }

    Checkpoint checkpoint() const
    {
        const edit_script_s *script = record_->script;
        return Checkpoint{*record_, *script, script->output->length};
    }

    void restore(const Checkpoint &saved)
    {
        edit_script_s *script = record_->script;
        buf_s *output = script->output;
        *record_ = saved.record;
        *script = saved.script;
        script->output = output;
        output->length = saved.output_length;
    }

    execution_s *ex_;
    coallescing_script_s *record_;
    Poller *poller_;
    int64_t poll_point_;
    std::vector<uint16_t> grams_;
    std::vector<uint8_t> searched_bytes_;
    RunSource runs_;
    std::vector<Anchor> runs_found_;
    int32_t old_end_ = 0;
    int32_t new_end_ = 0;
};

/* Whether the Emitter will hand the gap between an anchor ending at
 * (old_end, new_end) and the next one to the engine. */
bool gap_goes_to_engine(int32_t old_end, int32_t new_end, const Anchor &next)
{
    return engine_takes_gap(static_cast<int64_t>(next.old_start) - old_end,
                            static_cast<int64_t>(next.new_start) - new_end);
}

/* Dense search of a literal stretch against the old bytes around a centre.
 * A few neighbourhood tables are kept, as literal stretches often alternate
 * between the record being rewritten and a common fragment elsewhere. */
class LocalMatcher {
public:
    LocalMatcher(const buf_s *old_value, const buf_s *new_value)
        : old_(old_value->data), old_length_(static_cast<int32_t>(old_value->length)),
          new_(new_value->data),
          allowance_(kLocalPerByte * (static_cast<int64_t>(old_value->length) +
                                      static_cast<int64_t>(new_value->length)))
    {}

    /* Appends the matches of new[lo, hi) with old bytes near centre, in
     * new-value order, each at least kLocalMatchMinimum bytes and worth its
     * encoded size. */
    void match(int32_t lo, int32_t hi, int32_t centre, std::vector<Anchor> *out)
    {
        const Neighbourhood *const near = hi - lo < kLocalWindow ? nullptr : cover(centre);
        if (near == nullptr) {
            return;
        }
        int32_t literal_start = lo;
        for (int32_t pos = lo; hi - pos >= kLocalWindow;) {
            const int32_t at = near->table[slot(new_ + pos)];
            if (at >= near->from && at + kLocalWindow <= near->to &&
                std::memcmp(old_ + at, new_ + pos, kLocalWindow) == 0) {
                const int32_t ahead = static_cast<int32_t>(execution_match_forward(
                    old_ + at, new_ + pos,
                    static_cast<size_t>(std::min(old_length_ - at, hi - pos))));
                const int32_t behind = static_cast<int32_t>(execution_match_backward(
                    old_ + at, new_ + pos, static_cast<size_t>(std::min(at, pos - literal_start))));
                const int32_t length = ahead + behind;
                const int32_t start = at - behind;
                if (length >= kLocalMatchMinimum &&
                    length - head_size(start) - head_size(length) > 1) {
                    out->push_back(Anchor{start, pos - behind, length});
                    pos += ahead;
                    literal_start = pos;
                    continue;
                }
            }
            ++pos;
        }
    }

private:
    /* The filed windows of old[from, to), by slot: each slot holds the last
     * such window of the range that hashes to it. Entries outside the range
     * are stale and ignored, so a table is never cleared. */
    struct Neighbourhood {
        int32_t from = 0;
        int32_t to = 0;
        uint64_t last_use = 0;
        std::vector<int32_t> table;
    };

    /* Whether n reaches at least half a radius on both sides of centre (or
     * to the end of the old value on that side). */
    bool reaches(const Neighbourhood &n, int32_t centre) const
    {
        return n.to > n.from && (n.from == 0 || centre - kLocalRadius / 2 >= n.from) &&
               (n.to == old_length_ || centre + kLocalRadius / 2 <= n.to);
    }

    /* A table covering the neighbourhood of centre: a kept one that reaches
     * far enough, else the least recently used one refilled; null when the
     * refill allowance is spent. A table whose range moves forward keeps the
     * windows it already filed (no earlier window can have overwritten them)
     * and files only the new ones. */
    const Neighbourhood *cover(int32_t centre)
    {
        ++uses_;
        Neighbourhood *pick = &kept_[0];
        for (Neighbourhood &n : kept_) {
            if (reaches(n, centre)) {
                n.last_use = uses_;
                return &n;
            }
            pick = n.last_use < pick->last_use ? &n : pick;
        }
        const int32_t from = static_cast<int32_t>(std::max<int64_t>(0, centre - kLocalRadius));
        const int32_t to =
            static_cast<int32_t>(std::min<int64_t>(old_length_, centre + kLocalRadius));
        const auto moves_forward = [from, to](const Neighbourhood &n) {
            return n.to > n.from && from >= n.from && from <= n.to && to >= n.to;
        };
        for (Neighbourhood &n : kept_) {
            if (moves_forward(n)) {
                pick = &n;
                break;
            }
        }
        const int32_t first =
            moves_forward(*pick) ? std::max(from, pick->to - kLocalWindow + 1) : from;
        if (to - from < kLocalWindow || allowance_ < to - first) {
            return nullptr;
        }
        allowance_ -= to - first;
        if (pick->table.empty()) {
            pick->table.assign(size_t{1} << kTableBits, -1);
        }
        for (int64_t at = (int64_t{first} + kLocalStride - 1) / kLocalStride * kLocalStride;
             at + kLocalWindow <= to; at += kLocalStride) {
            pick->table[slot(old_ + at)] = static_cast<int32_t>(at);
        }
        pick->from = from;
        pick->to = to;
        pick->last_use = uses_;
        return pick;
    }

    static size_t slot(const uint8_t *p)
    {
        uint64_t v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<size_t>((v * kBucketMix) >> (64 - kTableBits));
    }

    /* Twice the filed windows of the largest neighbourhood, so few share a slot. */
    static constexpr int kTableBits = 13;
    static constexpr int kKept = 3;

    const uint8_t *old_;
    int32_t old_length_;
    const uint8_t *new_;
    int64_t allowance_;
    uint64_t uses_ = 0;
    Neighbourhood kept_[kKept];
};

/* All anchors: the common prefix and suffix, long matches in between, then
 * shorter matches inside the gaps the engine will not search. Incomplete
 * when the poller asked to stop. */
std::vector<Anchor> find_anchors(const buf_s *old_value, const buf_s *new_value, Poller *poller)
{
    const int32_t n = static_cast<int32_t>(old_value->length);
    const int32_t m = static_cast<int32_t>(new_value->length);
    const int32_t shorter = std::min(n, m);
    const int32_t prefix =
        shorter == 0 ? 0
                     : static_cast<int32_t>(execution_match_forward(
                           old_value->data, new_value->data, static_cast<size_t>(shorter)));
    const int32_t suffix =
        shorter == prefix
            ? 0
            : static_cast<int32_t>(execution_match_backward(
                  old_value->data + n, new_value->data + m, static_cast<size_t>(shorter - prefix)));
    std::vector<Anchor> anchors;
    anchors.push_back(Anchor{0, 0, prefix});
    if (m - suffix - prefix >= kBlock && n >= kBlock) {
        BlockIndex index(old_value->data, n);
        Scanner scanner(old_value, new_value, index, poller, prefix, m - suffix);
        LocalMatcher local(old_value, new_value);
        std::vector<Anchor> long_ones;
        std::vector<Anchor> short_ones;
        scanner.scan(&long_ones, &short_ones);
        long_ones.push_back(Anchor{n - suffix, m - suffix, suffix});
        size_t next_short = 0;
        std::vector<Anchor> in_gap;
        for (const Anchor &next : long_ones) {
            in_gap.clear();
            const Anchor &last = anchors.back();
            const int32_t old_end = last.old_start + last.length;
            const int32_t new_end = last.new_start + last.length;
            /* The short matches the first pass met inside a gap the engine
             * will not search fill it; they lie between the long ones. */
            const bool literal_gap = !gap_goes_to_engine(old_end, new_end, next);
            for (; next_short < short_ones.size() &&
                   short_ones[next_short].new_start < next.new_start;
                 ++next_short) {
                const Anchor &a = short_ones[next_short];
                const int32_t covered =
                    in_gap.empty() ? new_end : in_gap.back().new_start + in_gap.back().length;
                if (literal_gap && a.new_start >= covered &&
                    a.new_start + a.length <= next.new_start) {
                    in_gap.push_back(a);
                }
            }
            in_gap.push_back(next);
            for (const Anchor &a : in_gap) {
                const Anchor &before = anchors.back();
                const int32_t before_old_end = before.old_start + before.length;
                const int32_t before_new_end = before.new_start + before.length;
                const int32_t literal = a.new_start - before_new_end;
                const bool literal_stretch = literal >= kLocalWindow &&
                                             !gap_goes_to_engine(before_old_end, before_new_end, a);
                if (literal_stretch && literal <= kLocalMaxLiteral) {
                    local.match(before_new_end, a.new_start, before_old_end, &anchors);
                }
                anchors.push_back(a);
            }
        }
        return anchors;
    }
    anchors.push_back(Anchor{n - suffix, m - suffix, suffix});
    return anchors;
}

/* Results of search beside the coalescing ones. */
constexpr int32_t kSearchOutOfMemory = -1;
constexpr int32_t kSearchCancelled = -2;

/* The search proper: the coalescing result, with the edit delta in the
 * script's output for COALESCING_EDIT_DELTA, or kSearchOutOfMemory or
 * kSearchCancelled. */
int32_t search(const buf_s *old_value, const buf_s *new_value, edit_script_s *script,
               Poller *poller)
{
    const std::vector<Anchor> anchors = find_anchors(old_value, new_value, poller);
    if (poller->stopped()) {
        return kSearchCancelled;
    }
    coallescing_script_s record;
    coallescing_script_init(&record, script, 0, 0);
    ExecutionPtr ex(execution_create(old_value, new_value, &record, DIFF_DEFAULT_SLOT_LIMIT,
                                     DIFF_DEFAULT_WORK_LIMIT));
    if (!ex) {
        return kSearchOutOfMemory;
    }
    Emitter emit(ex.get(), &record, poller);
    bool ok = true;
    for (const Anchor &a : anchors) {
        if (a.length > 0 && !emit.anchor(a)) {
            ok = false;
            break;
        }
    }
    ok = ok && emit.finish(static_cast<int32_t>(old_value->length),
                           static_cast<int32_t>(new_value->length));
    const bool storage_failed = ex->storage->slots == nullptr && ex->storage->size < 0;
    if (!ok) {
        if (script->output == nullptr || storage_failed) {
            return kSearchOutOfMemory;
        }
        /* A spent budget means nothing shorter than the new value exists. */
        return poller->stopped() ? kSearchCancelled : COALESCING_REPLACEMENT_DELTA;
    }
    const int32_t closed = coallescing_script_close(
        &record, static_cast<int32_t>(old_value->length), static_cast<int32_t>(new_value->length));
    return closed == COALESCING_REPLACEMENT_DELTA && script->output == nullptr ? kSearchOutOfMemory
                                                                               : closed;
}

buf_s *no_change_delta()
{
    BufPtr delta(buf_create());
    if (!delta) {
        return nullptr;
    }
    buf_write_byte(delta.get(), kNullByte);
    return delta->length == 1 ? delta.release() : nullptr;
}

/* The delta for readable values of less than 2^31 bytes. */
kv_status generate(const buf_s *old_value, const buf_s *new_value, Poller *poller, BufPtr *result)
{
    ScriptPtr script(edit_script_create(old_value, new_value));
    if (!script) {
        return KV_OUT_OF_MEMORY;
    }
    BufPtr delta;
    switch (search(old_value, new_value, script.get(), poller)) {
    case COALESCING_VALUES_EQUAL:
        delta.reset(no_change_delta());
        break;
    case COALESCING_EDIT_DELTA:
        delta.reset(buf_dup(script->output));
        break;
    case COALESCING_REPLACEMENT_DELTA:
        delta.reset(_write_replacement_delta(new_value));
        break;
    case kSearchCancelled:
        return KV_CANCELLED;
    default:
        return KV_OUT_OF_MEMORY;
    }
    if (delta && delta->length >= new_value->length) {
        delta.reset(_write_replacement_delta(new_value));
    }
    if (!delta) {
        return KV_OUT_OF_MEMORY;
    }
    *result = std::move(delta);
    return KV_OK;
}

} // namespace

extern "C" {

buf_s *diff_generate_binary_blocks(const buf_s *old_value, const buf_s *new_value)
{
    return diff_generate_binary_blocks_polled(old_value, new_value, nullptr, nullptr, nullptr);
}

buf_s *diff_generate_binary_blocks_polled(const buf_s *old_value, const buf_s *new_value,
                                          kv_poll_fn poll, void *context, kv_status *status)
{
    kv_status result = KV_INVALID_ARGUMENT;
    BufPtr delta;
    if (is_readable(old_value) && is_readable(new_value)) {
        result = old_value->length > kMaxValueLength || new_value->length > kMaxValueLength
                     ? KV_OUT_OF_RANGE
                     : KV_OK;
    }
    if (result == KV_OK) {
        Poller poller(poll, context);
        try {
            result = generate(old_value, new_value, &poller, &delta);
        } catch (const std::bad_alloc &) {
            result = KV_OUT_OF_MEMORY;
        }
    }
    if (status != nullptr) {
        *status = result;
    }
    return result == KV_OK ? delta.release() : nullptr;
}

} // extern "C"
