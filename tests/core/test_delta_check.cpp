/* Tests of checksummed deltas (delta_check.h and the status-reporting entry
 * points of delta.h): the trailer's bytes, every reader rebuilding the same
 * value from a checksummed delta, where a trailer counts, and the status of
 * each failure. Wrong bases, cut and flipped deltas and the output cap are
 * driven from Python (test_delta_integrity.py) and by fuzz_delta_verify. */
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/buf.h"
#include "core/cbor.h"
#include "core/delta.h"
#include "core/delta_check.h"

#include "alloc_hook.h"
#include "search_support.h"

namespace {

using search_support::Bytes;
using search_support::Rng;
using search_support::view;

struct BufFree {
    void operator()(buf_s *buf) const { buf_free(buf); }
};
using BufPtr = std::unique_ptr<buf_s, BufFree>;

std::optional<Bytes> take(buf_s *raw)
{
    BufPtr buf(raw);
    if (!buf) {
        return std::nullopt;
    }
    return Bytes(buf->data, buf->data + buf->length);
}

Bytes checked_delta(const Bytes &old_value, const Bytes &new_value, kv_status *status = nullptr)
{
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    kv_status ignored;
    auto delta = take(diff_generate_binary_flags(nullptr, &o, &n, DIFF_DEFAULT_SLOT_LIMIT,
                                                 DIFF_DEFAULT_WORK_LIMIT, DIFF_GENERATE_CHECKSUM,
                                                 status ? status : &ignored));
    return delta.value_or(Bytes{});
}

struct Applied {
    kv_status status;
    std::optional<Bytes> value;
};

Applied apply_delta(const Bytes &old_value, const Bytes &delta, uint32_t flags = DIFF_APPLY_VERIFY,
                    uint64_t max_size = UINT64_MAX)
{
    const buf_s o = view(old_value);
    const buf_s d = view(delta);
    kv_status status = KV_OK;
    auto value = take(diff_apply_binary_ex(&o, &d, flags, max_size, &status));
    return {status, value};
}

/* Applying a delta exactly as the format's plain reader does: items through
 * cbor_next_val until it returns null; an unsigned item is an offset that
 * must be followed by an unsigned count; strings are appended; everything
 * else, the null included, is skipped. Copies outside the old value (which
 * that reader does not test) give nullopt here instead of a stray read. */
std::optional<Bytes> plain_reader_apply(const Bytes &old_value, const Bytes &delta)
{
    cbor_parser_s *parser = cbor_parser_create(delta.data(), delta.size());
    Bytes out;
    bool ok = parser != nullptr;
    while (ok) {
        cbor_val_s *item = cbor_next_val(parser);
        if (item == nullptr) {
            break;
        }
        if (item->major_type == 0) {
            const uint64_t offset = item->value.u64;
            cbor_val_s *count = cbor_next_val(parser);
            ok = count != nullptr && count->major_type == 0 && offset <= old_value.size() &&
                 count->value.u64 <= old_value.size() - offset;
            if (ok) {
                out.insert(out.end(), old_value.begin() + static_cast<ptrdiff_t>(offset),
                           old_value.begin() + static_cast<ptrdiff_t>(offset + count->value.u64));
            }
            cbor_val_free(count);
        } else if (item->major_type == 2 || item->major_type == 3) {
            out.insert(out.end(), item->value.ptr, item->value.ptr + item->length);
        }
        cbor_val_free(item);
    }
    cbor_parser_free(parser);
    return ok ? std::optional<Bytes>(out) : std::nullopt;
}

/* Pairs of every kind the search tests use, plus the corners that pick the
 * no-change and replacement deltas. */
std::vector<std::pair<Bytes, Bytes>> sample_pairs(int per_kind)
{
    std::vector<std::pair<Bytes, Bytes>> pairs = {
        {{}, {}},
        {{'a'}, {'a'}},
        {{}, {'x', 'y', 'z'}},
        {{'a', 'b'}, {}},
        {Bytes(40, 'q'), Bytes(40, 'q')},
    };
    Rng rng(1717);
    for (int kind = 0; kind < static_cast<int>(search_support::PairKind::kCount); ++kind) {
        for (int i = 0; i < per_kind; ++i) {
            Bytes o, n;
            search_support::make_pair(rng, static_cast<search_support::PairKind>(kind), 300, &o,
                                      &n);
            pairs.emplace_back(o, n);
        }
    }
    return pairs;
}

TEST(DeltaTrailer, LayoutAndFieldsReadBack)
{
    const Bytes old_value = search_support::bytes_of("abcXdef");
    const Bytes new_value = search_support::bytes_of("abcYdef");
    BufPtr delta(buf_create());
    buf_write_bytes(delta.get(), "\x00\x03", 2);
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    ASSERT_EQ(delta_check_append_trailer(delta.get(), &o, &n), KV_OK);
    ASSERT_EQ(delta->length, 2u + DELTA_TRAILER_SIZE);
    const uint8_t *t = delta->data + 2;
    EXPECT_EQ(t[0], 0xD7);
    for (int field = 0; field < 5; ++field) {
        EXPECT_EQ(t[1 + 9 * field], 0x3B) << field;
    }
    EXPECT_EQ(t[9], 7); // old length, most significant byte first
    EXPECT_EQ(t[2], 0);
    delta_trailer_s read{};
    ASSERT_EQ(delta_check_read_trailer(delta.get(), &read), 1);
    EXPECT_EQ(read.old_length, 7u);
    EXPECT_EQ(read.new_length, 7u);
    EXPECT_EQ(read.old_hash, delta_check_hash(old_value.data(), old_value.size()));
    EXPECT_EQ(read.new_hash, delta_check_hash(new_value.data(), new_value.size()));
    EXPECT_NE(read.old_hash, read.new_hash);
    EXPECT_EQ(delta_check_covers(delta.get(), &read), 1);
    // a delta too short to hold the trailer covers nothing, whatever is asked
    for (uint64_t length = 0; length < DELTA_TRAILER_SIZE; ++length) {
        const buf_s cut{delta->data, length, 0};
        EXPECT_EQ(delta_check_covers(&cut, &read), 0) << length;
    }
    EXPECT_EQ(delta_check_covers(nullptr, &read), 0);
    EXPECT_EQ(delta_check_value_matches(&o, read.old_length, read.old_hash), 1);
    EXPECT_EQ(delta_check_value_matches(&n, read.old_length, read.old_hash), 0);
    // The parser reads the trailer as one tag and five negative integers.
    cbor_parser_s *parser = cbor_parser_create(t, DELTA_TRAILER_SIZE);
    std::vector<uint32_t> majors;
    while (cbor_val_s *item = cbor_next_val(parser)) {
        majors.push_back(item->major_type);
        cbor_val_free(item);
    }
    cbor_parser_free(parser);
    EXPECT_EQ(majors, (std::vector<uint32_t>{6, 1, 1, 1, 1, 1}));
}

TEST(DeltaChecksum, BodyIsTheUncheckedDeltaAndEveryReaderRebuildsTheNewValue)
{
    for (const auto &[old_value, new_value] : sample_pairs(search_support::scaled(40))) {
        kv_status status = KV_MALFORMED;
        const Bytes delta = checked_delta(old_value, new_value, &status);
        ASSERT_EQ(status, KV_OK);
        ASSERT_GE(delta.size(), static_cast<size_t>(DELTA_TRAILER_SIZE));
        const Bytes body(delta.begin(), delta.end() - DELTA_TRAILER_SIZE);
        const buf_s o = view(old_value);
        const buf_s n = view(new_value);
        const auto plain = take(diff_generate_binary(&o, &n));
        ASSERT_TRUE(plain.has_value());
        if (*plain != Bytes{0xF6}) {
            EXPECT_EQ(body, *plain);
        } else {
            // One copy from offset 0 instead of the null, or the replacement
            // delta where that copy is not shorter than the value.
            EXPECT_TRUE(body.front() == 0x00 || (body.front() >> 5) == 2);
        }
        EXPECT_EQ(plain_reader_apply(old_value, delta), new_value);
        const Applied verified = apply_delta(old_value, delta);
        ASSERT_EQ(verified.status, KV_OK);
        EXPECT_EQ(verified.value, new_value);
        const buf_s d = view(delta);
        EXPECT_EQ(take(diff_apply_binary(&o, &d)), new_value);
    }
}

TEST(DeltaChecksum, ATrailerInsideAnItemIsNotATrailer)
{
    // A byte string whose 46-byte payload is a trailer covering the head:
    // shaped and hashed right, but no item boundary falls where it starts.
    const Bytes value = search_support::bytes_of("v");
    const buf_s v = view(value);
    BufPtr delta(buf_create());
    buf_write_bytes(delta.get(), "\x58\x2E", 2);
    ASSERT_EQ(delta_check_append_trailer(delta.get(), &v, &v), KV_OK);
    const Bytes bytes(delta->data, delta->data + delta->length);
    const Bytes payload(bytes.begin() + 2, bytes.end());
    for (const Bytes &base : {value, search_support::bytes_of("other")}) {
        EXPECT_EQ(apply_delta(base, bytes, 0).value, payload);
        EXPECT_EQ(apply_delta(base, bytes).status, KV_UNCHECKED);
    }
}

TEST(DeltaStatus, EachRefusalIsNamed)
{
    const Bytes old_value = search_support::bytes_of("abc");
    const buf_s o = view(old_value);
    kv_status status = KV_OK;
    EXPECT_EQ(diff_apply_binary_ex(nullptr, &o, 0, UINT64_MAX, &status), nullptr);
    EXPECT_EQ(status, KV_INVALID_ARGUMENT);
    EXPECT_EQ(diff_generate_binary_flags(nullptr, &o, nullptr, 1, 1, 0, &status), nullptr);
    EXPECT_EQ(status, KV_INVALID_ARGUMENT);
    const buf_s too_long{const_cast<uint8_t *>(old_value.data()), uint64_t{1} << 31, 0};
    EXPECT_EQ(diff_apply_binary_ex(&o, &too_long, 0, UINT64_MAX, &status), nullptr);
    EXPECT_EQ(status, KV_OUT_OF_RANGE);
    EXPECT_EQ(diff_generate_binary_flags(nullptr, &too_long, &o, DIFF_DEFAULT_SLOT_LIMIT,
                                         DIFF_DEFAULT_WORK_LIMIT, 0, &status),
              nullptr);
    EXPECT_EQ(status, KV_OUT_OF_RANGE);
    EXPECT_EQ(apply_delta(old_value, Bytes{0x01}, 0).status, KV_MALFORMED);
    EXPECT_EQ(apply_delta(old_value, Bytes{0x00, 0x04}, 0).status, KV_MALFORMED);
    EXPECT_EQ(apply_delta(old_value, Bytes{0xF6}).status, KV_UNCHECKED);
    EXPECT_EQ(apply_delta(old_value, Bytes{0x43, 'x', 'y', 'z'}).status, KV_UNCHECKED);
    const Applied plain = apply_delta(old_value, Bytes{0x43, 'x', 'y', 'z'}, 0);
    EXPECT_EQ(plain.status, KV_OK);
    EXPECT_EQ(apply_delta(old_value, Bytes{0x43, 'x', 'y', 'z'}, 0, 2).status, KV_LIMIT_REACHED);
    // A changed new-value hash: the delta's own hash no longer covers it.
    Bytes delta = checked_delta(old_value, search_support::bytes_of("abd"));
    delta[delta.size() - DELTA_TRAILER_SIZE + 1 + 3 * 9 + 8] ^= 1;
    EXPECT_EQ(apply_delta(old_value, delta, 0).status, KV_DELTA_MISMATCH);
}

TEST(DeltaStatus, RefusedAllocationsAreOutOfMemory)
{
    SKIP_WITHOUT_ALLOC_HOOK();
    Rng rng(3);
    const Bytes old_value = search_support::random_bytes(rng, 2000, 4);
    const Bytes new_value = search_support::point_edits(rng, old_value, 10, 4);
    const Bytes delta = checked_delta(old_value, new_value);
    const buf_s o = view(old_value);
    const buf_s n = view(new_value);
    const buf_s d = view(delta);
    bool refused_apply = false;
    bool refused_generate = false;
    for (long grant = 0;; ++grant) {
        kv_status status = KV_OK;
        kvtest::arm_allocations(grant);
        buf_s *raw = diff_apply_binary_ex(&o, &d, DIFF_APPLY_VERIFY, UINT64_MAX, &status);
        const long apply_refusals = kvtest::allow_allocations().refused;
        const auto value = take(raw);
        if (apply_refusals > 0) {
            EXPECT_FALSE(value.has_value()) << grant;
            EXPECT_EQ(status, KV_OUT_OF_MEMORY) << grant;
            refused_apply = true;
        }
        kvtest::arm_allocations(grant);
        raw = diff_generate_binary_flags(nullptr, &o, &n, DIFF_DEFAULT_SLOT_LIMIT,
                                         DIFF_DEFAULT_WORK_LIMIT, DIFF_GENERATE_CHECKSUM, &status);
        const long generate_refusals = kvtest::allow_allocations().refused;
        const auto made = take(raw);
        if (made) {
            // A refusal inside the search may only make the delta larger.
            EXPECT_EQ(apply_delta(old_value, *made).value, new_value) << grant;
        } else {
            EXPECT_GT(generate_refusals, 0) << grant;
            EXPECT_EQ(status, KV_OUT_OF_MEMORY) << grant;
            refused_generate = true;
        }
        if (apply_refusals == 0 && generate_refusals == 0) {
            break;
        }
    }
    EXPECT_TRUE(refused_apply);
    EXPECT_TRUE(refused_generate);
}

} // namespace
